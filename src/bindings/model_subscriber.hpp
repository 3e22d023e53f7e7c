#pragma once
// A Python callable as a core Subscriber.
//
//   item.subscribe_changed(make_subscriber(callback));    // TypeError if not callable
//   item.unsubscribe_changed(make_subscriber(callback));  // found by Python ==
//
// The call takes the GIL itself, so the core may notify from any thread (with or without
// the GIL). A Python exception leaves the call as nb::python_error, which stops the core's
// notification loop and is restored as the original exception when it reaches Python.
#include <nanobind/nanobind.h>

#include "model/subscriber.hpp"

namespace velmora::bindings {

class PySubscriber final : public velmora::Subscriber {
  public:
    explicit PySubscriber(nanobind::object callable) : callable_(std::move(callable)) {}
    ~PySubscriber() override;
    PySubscriber(const PySubscriber&) = delete;
    PySubscriber& operator=(const PySubscriber&) = delete;

    void operator()() override;
    // Python equality (identity first, as list membership tests it). Needs the GIL, which
    // every caller coming from Python holds.
    bool equals(const velmora::Subscriber& other) const override;
    nanobind::handle callable() const noexcept { return callable_; }

  private:
    nanobind::object callable_;
};

// Wraps `callable`; a non-callable is a type error naming `what`.
velmora::SubscriberPtr make_subscriber(nanobind::handle callable, const char* what = "callback");

// The Python callable behind a subscriber, or an invalid handle for a C++ subscriber.
nanobind::handle subscriber_callable(const velmora::Subscriber& subscriber) noexcept;

}  // namespace velmora::bindings

#pragma once
// A change subscriber: a callable without arguments with an equality test, so a binding can
// wrap a host callable and compare it the way the host compares callables.
#include <memory>

namespace velmora {

class Subscriber {
  public:
    virtual ~Subscriber() = default;
    virtual void operator()() = 0;
    virtual bool equals(const Subscriber& other) const = 0;
};

using SubscriberPtr = std::shared_ptr<Subscriber>;

}  // namespace velmora

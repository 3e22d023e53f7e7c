#include "bindings/mapping_item_types.hpp"

#include <string>

#include "bindings/convert.hpp"
#include "bindings/python_threads.hpp"
#include "protocol/errors.hpp"

namespace nb = nanobind;

namespace velmora::bindings {
namespace {

constexpr ItemKind kAllKinds[] = {ItemKind::Base, ItemKind::Input, ItemKind::Output,
                                  ItemKind::InputOutput};

nb::handle class_of_kind(ItemKind kind) {
    switch (kind) {
        case ItemKind::Base:
            return nb::type<DictionaryItem>();
        case ItemKind::Input:
            return nb::type<DictionaryItemInput>();
        case ItemKind::Output:
            return nb::type<DictionaryItemOutput>();
        case ItemKind::InputOutput:
            return nb::type<DictionaryItemInputOutput>();
    }
    return {};
}

bool set_contains(nb::handle set, nb::handle value) {
    const int found = PySequence_Contains(set.ptr(), value.ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
}

// A Python subclass of an item class has the kind of its base in C++, so the exact class is
// only known here: the item's own Python object, or the bound class of an item that never
// reached Python.
class PyItemTypeFilter final : public ItemTypeFilter {
  public:
    explicit PyItemTypeFilter(nb::object types) : types_(std::move(types)) {}
    ~PyItemTypeFilter() override {
        // The last owner may drop it without the GIL, or after the interpreter ended; in
        // the latter case the reference is left to the process.
        if (PyGILState_Check()) {
            types_.reset();
            return;
        }
        PythonCall call;
        if (!call || !Py_IsInitialized() || interpreter_finalizing()) {
            types_.release();
            return;
        }
        nb::gil_scoped_acquire gil;
        types_.reset();
    }

    bool accepts(const DictionaryItem& item) const override {
        nb::gil_scoped_acquire gil;
        nb::object instance = nb::find(item);
        nb::handle type =
            instance.is_valid() ? nb::handle(instance.type()) : class_of_kind(item.kind());
        return type.is_valid() && set_contains(types_, type);
    }

    const nb::object& types() const noexcept { return types_; }

  private:
    nb::object types_;
};

}  // namespace

AcceptedItemTypesPtr accepted_from_python(nb::handle types) {
    if (!PyAnySet_Check(types.ptr())) {
        throw TypeError(std::string("item_types_accepted must be a set, not ") +
                        Py_TYPE(types.ptr())->tp_name);
    }
    // The kinds serve C++ users of the map; from Python the set decides.
    std::vector<ItemKind> kinds;
    for (ItemKind kind : kAllKinds) {
        nb::handle cls = class_of_kind(kind);
        if (cls.is_valid() && set_contains(types, cls)) kinds.push_back(kind);
    }
    auto accepted = std::make_shared<AcceptedItemTypes>(std::move(kinds));
    accepted->set_filter(std::make_shared<PyItemTypeFilter>(nb::borrow(types)));
    return accepted;
}

nb::object accepted_types(const DictionaryMap& map) {
    const auto& accepted = map.item_types_accepted();
    if (auto filter = std::dynamic_pointer_cast<const PyItemTypeFilter>(accepted->filter())) {
        return filter->types();
    }
    nb::set types;
    for (ItemKind kind : accepted->kinds()) {
        nb::handle cls = class_of_kind(kind);
        if (cls.is_valid()) types.add(cls);
    }
    accepted->set_filter(std::make_shared<PyItemTypeFilter>(types));
    return types;
}

}  // namespace velmora::bindings

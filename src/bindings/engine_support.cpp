#include "bindings/engine_support.hpp"

#include <cmath>
#include <string>

#include "bindings/convert.hpp"
#include "engine/master_handler.hpp"
#include "engine/states/state_connection.hpp"
#include "engine/states/state_data.hpp"
#include "engine/states/state_parameter.hpp"
#include "engine/states/state_reset.hpp"
#include "engine/states/state_session.hpp"
#include "protocol/errors.hpp"
#include "protocol/helpers.hpp"

namespace nb = nanobind;

namespace velmora::bindings {

std::uint16_t to_u16_truncating(nb::handle value, const char* what) {
    if (PyFloat_Check(value.ptr())) return u16_from_real(PyFloat_AS_DOUBLE(value.ptr()));
    return to_u16(to_int64(value, what));
}

bool to_truth(nb::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

nb::handle state_class(StateId id) {
    switch (id) {
        case StateId::Reset:
            return nb::type<StateReset>();
        case StateId::Session:
            return nb::type<StateSession>();
        case StateId::Connection:
            return nb::type<StateConnection>();
        case StateId::Parameter:
            return nb::type<StateParameter>();
        case StateId::Data:
            return nb::type<StateData>();
    }
    return nb::none();
}

StateId state_id_of_class(nb::handle cls) {
    for (std::uint8_t i = 0; i < kStateCount; ++i) {
        const auto id = static_cast<StateId>(i);
        if (cls.is(state_class(id))) return id;
    }
    throw TypeError(std::string("next_state must be one of the state classes, not ") +
                    nb::repr(cls).c_str());
}

}  // namespace velmora::bindings

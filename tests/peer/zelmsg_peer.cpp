// A second extension module, built by the tests with the same pybind11, that takes and
// returns zelmsg's types without registering any of them: it can only work through
// pybind11's shared registry.
#include "pyzelmsg.hpp"

namespace py = pybind11;
using zelmsg::DeliveryMode;
using zelmsg::Destination;
using zelmsg::PyZelMsg;

PYBIND11_MODULE(zelmsg_peer, m) {
    m.def("reroute", [](Destination d) {
        d.dest += "/peer";
        d.dest_type = SOLCLIENT_QUEUE_DESTINATION;
        return d;
    });
    m.def("next_type", [](solClient_destinationType_t t) { return static_cast<solClient_destinationType_t>(t + 1); });
    m.def("upgrade", [](DeliveryMode) { return zelmsg::Persistent; });
    m.def("same_message", [](const PyZelMsg &a, const PyZelMsg &b) { return &a == &b; });
}

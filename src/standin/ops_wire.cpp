// The operations on the wire encoding (SMF). The stand-in has none: it refuses to encode or
// decode, with a sub-code of its own, and so never hands out a data block to free.

#include "call.h"

using namespace standin;

solClient_returnCode_t solClient_msg_encodeToSMF(solClient_opaqueMsg_pt msg_p, solClient_bufInfo_pt out_p,
                                                 solClient_opaqueDatablock_pt *datablock_p) {
    return run(Op::solClient_msg_encodeToSMF, msg_p, Kind::message, [&](const SlotRef &) {
        return out_p == nullptr || datablock_p == nullptr ? refuse(kNullArgument) : refuse(kNoWire);
    });
}

solClient_returnCode_t solClient_msg_decodeFromSmf(solClient_bufInfo_pt in_p, solClient_opaqueMsg_pt *msg_p) {
    return run_unbound(Op::solClient_msg_decodeFromSmf,
                       [&] { return in_p == nullptr || msg_p == nullptr ? refuse(kNullArgument) : refuse(kNoWire); });
}

solClient_returnCode_t solClient_datablock_free(solClient_opaqueDatablock_pt * /*datablock_p*/) {
    return run_unbound(Op::solClient_datablock_free, [] { return refuse(kBadDatablock); });
}

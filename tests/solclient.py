"""ctypes binding of libsolclient for the tests, fit for the stand-in and the genuine library.

`Library(cdll)` binds the operations of a loaded library under their own names, with
their C types, and the stand-in's test-control functions when the library has them.
"""

import ctypes
import gc
import struct
from ctypes import (
    POINTER,
    byref,
    c_char,
    c_char_p,
    c_double,
    c_float,
    c_int,
    c_int8,
    c_int16,
    c_int32,
    c_int64,
    c_long,
    c_longlong,
    c_size_t,
    c_ubyte,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_ulong,
    c_void_p,
)

OK, EOS, NOT_FOUND, FAIL = 0, 4, 5, -1
TOPIC, QUEUE, TOPIC_TEMP, QUEUE_TEMP = 0, 1, 2, 3
DIRECT, PERSISTENT, NON_PERSISTENT = 0x00, 0x10, 0x20
DESTINATION_SIZE = 16
UNWRITTEN = 0xBAD  # what the helpers preset their number and pointer outputs to
FIELD_SIZE = 24
RMID_SIZE = 16  # a replication group message id
NO_WIRE_ENCODING = 1000  # the stand-in's sub-code for the wire calls it refuses

# Field types, as a field record's type says them.
(
    BOOL,
    UINT8,
    INT8,
    UINT16,
    INT16,
    UINT32,
    INT32,
    UINT64,
    INT64,
    WCHAR,
    STRING,
    BYTEARRAY,
    FLOAT,
    DOUBLE,
    MAP,
    STREAM,
    NULL,
    DESTINATION,
    SMF,
) = range(19)
UNKNOWN = -1


class Destination(ctypes.Structure):
    _fields_ = [("destType", c_int), ("dest", c_char_p)]


class BufInfo(ctypes.Structure):
    _fields_ = [("buf_p", c_void_p), ("bufSize", c_uint32)]


class ErrorInfo(ctypes.Structure):
    _fields_ = [("subCode", c_int), ("responseCode", c_int), ("errorStr", c_char * 256)]


class FieldValue(ctypes.Union):
    _fields_ = [
        ("boolean", c_ubyte),
        ("uint8", c_uint8),
        ("int8", c_int8),
        ("uint16", c_uint16),
        ("int16", c_int16),
        ("uint32", c_uint32),
        ("int32", c_int32),
        ("uint64", c_uint64),
        ("int64", c_int64),
        ("wchar", c_uint32),
        ("pointer", c_void_p),
        ("float32", c_float),
        ("float64", c_double),
        ("dest", Destination),
    ]


class Field(ctypes.Structure):
    _fields_ = [("type", c_int), ("length", c_uint32), ("value", FieldValue)]


assert ctypes.sizeof(Destination) == DESTINATION_SIZE
assert ctypes.sizeof(ErrorInfo) == 264
assert ctypes.sizeof(Field) == FIELD_SIZE

_rc, _handle, _bool = c_int, c_void_p, c_ubyte
_dest = POINTER(Destination)
_field = POINTER(Field)

# The container adds: (the value's C types, how a Python value becomes those arguments).
ADDS = {
    "Boolean": [_bool],
    "Uint8": [c_uint8],
    "Int8": [c_int8],
    "Uint16": [c_uint16],
    "Int16": [c_int16],
    "Uint32": [c_uint32],
    "Int32": [c_int32],
    "Uint64": [c_uint64],
    "Int64": [c_int64],
    "Char": [c_char],
    "Wchar": [c_uint32],
    "String": [c_char_p],
    "ByteArray": [c_char_p, c_uint32],
    "Smf": [c_char_p, c_uint32],
    "UnknownField": [c_char_p, c_uint32],
    "Float": [c_float],
    "Double": [c_double],
    "Null": [],
    "Destination": [_dest, c_size_t],
}

OPERATIONS = {
    "solClient_msg_alloc": (_rc, [POINTER(_handle)]),
    "solClient_msg_free": (_rc, [POINTER(_handle)]),
    "solClient_getLastErrorInfo": (POINTER(ErrorInfo), []),
    "solClient_msg_dump": (_rc, [_handle, c_char_p, c_size_t]),
    "solClient_container_closeMapStream": (_rc, [POINTER(_handle)]),
    "solClient_msg_getDestination": (_rc, [_handle, _dest, c_size_t]),
    "solClient_msg_setDestination": (_rc, [_handle, _dest, c_size_t]),
    "solClient_msg_getReplyTo": (_rc, [_handle, _dest, c_size_t]),
    "solClient_msg_setReplyTo": (_rc, [_handle, _dest, c_size_t]),
    "solClient_msg_deleteReplyTo": (_rc, [_handle]),
    "solClient_msg_isReplyMsg": (_bool, [_handle]),
    "solClient_msg_setAsReplyMsg": (_rc, [_handle, _bool]),
    "solClient_msg_isElidingEligible": (_bool, [_handle]),
    "solClient_msg_setElidingEligible": (_rc, [_handle, _bool]),
    "solClient_msg_getDeliveryMode": (_rc, [_handle, POINTER(c_uint32)]),
    "solClient_msg_setDeliveryMode": (_rc, [_handle, c_uint32]),
    "solClient_msg_getClassOfService": (_rc, [_handle, POINTER(c_uint32)]),
    "solClient_msg_setClassOfService": (_rc, [_handle, c_uint32]),
    "solClient_msg_isDMQEligible": (_bool, [_handle]),
    "solClient_msg_setDMQEligible": (_rc, [_handle, _bool]),
    "solClient_msg_getTimeToLive": (_rc, [_handle, POINTER(c_int64)]),
    "solClient_msg_setTimeToLive": (_rc, [_handle, c_int64]),
    "solClient_msg_getPriority": (_rc, [_handle, POINTER(c_int32)]),
    "solClient_msg_setPriority": (_rc, [_handle, c_int32]),
    "solClient_msg_getCorrelationId": (_rc, [_handle, POINTER(c_char_p)]),
    "solClient_msg_setCorrelationId": (_rc, [_handle, c_char_p]),
    "solClient_msg_deleteCorrelationId": (_rc, [_handle]),
    "solClient_msg_getApplicationMessageId": (_rc, [_handle, POINTER(c_char_p)]),
    "solClient_msg_setApplicationMessageId": (_rc, [_handle, c_char_p]),
    "solClient_msg_deleteApplicationMessageId": (_rc, [_handle]),
    "solClient_msg_getSenderTimestamp": (_rc, [_handle, POINTER(c_int64)]),
    "solClient_msg_setSenderTimestamp": (_rc, [_handle, c_int64]),
    "solClient_msg_deleteSenderTimestamp": (_rc, [_handle]),
    "solClient_msg_getSequenceNumber": (_rc, [_handle, POINTER(c_int64)]),
    "solClient_msg_setSequenceNumber": (_rc, [_handle, c_uint64]),
    "solClient_msg_deleteSequenceNumber": (_rc, [_handle]),
    "solClient_msg_getBinaryAttachmentPtr": (_rc, [_handle, POINTER(c_void_p), POINTER(c_uint32)]),
    "solClient_msg_setBinaryAttachment": (_rc, [_handle, c_void_p, c_uint32]),
    "solClient_msg_getBinaryAttachmentString": (_rc, [_handle, POINTER(c_char_p)]),
    "solClient_msg_setBinaryAttachmentString": (_rc, [_handle, c_char_p]),
    "solClient_msg_getUserPropertyMap": (_rc, [_handle, POINTER(_handle)]),
    "solClient_msg_createUserPropertyMap": (_rc, [_handle, POINTER(_handle), c_uint32]),
    "solClient_container_getStringPtr": (_rc, [_handle, POINTER(c_char_p), c_char_p]),
    "solClient_container_addString": (_rc, [_handle, c_char_p, c_char_p]),
    "solClient_msg_getHttpContentType": (_rc, [_handle, POINTER(c_char_p)]),
    "solClient_msg_setHttpContentType": (_rc, [_handle, c_char_p]),
    "solClient_msg_setUserPropertyMap": (_rc, [_handle, _handle]),
    "solClient_msg_getBinaryAttachmentMap": (_rc, [_handle, POINTER(_handle)]),
    "solClient_msg_getBinaryAttachmentStream": (_rc, [_handle, POINTER(_handle)]),
    "solClient_msg_createBinaryAttachmentMap": (_rc, [_handle, POINTER(_handle), c_uint32]),
    "solClient_msg_createBinaryAttachmentStream": (_rc, [_handle, POINTER(_handle), c_uint32]),
    "solClient_msg_setBinaryAttachmentContainer": (_rc, [_handle, _handle]),
    "solClient_container_createMap": (_rc, [POINTER(_handle), c_void_p, c_uint32]),
    "solClient_container_createStream": (_rc, [POINTER(_handle), c_void_p, c_uint32]),
    "solClient_container_openSubMap": (_rc, [_handle, POINTER(_handle), c_char_p]),
    "solClient_container_openSubStream": (_rc, [_handle, POINTER(_handle), c_char_p]),
    "solClient_container_addContainer": (_rc, [_handle, _handle, c_char_p]),
    **{f"solClient_container_add{kind}": (_rc, [_handle, *types, c_char_p]) for kind, types in ADDS.items()},
    "solClient_container_getNextField": (_rc, [_handle, _field, c_size_t, POINTER(c_char_p)]),
    "solClient_container_getField": (_rc, [_handle, _field, c_size_t, c_char_p]),
    "solClient_container_rewind": (_rc, [_handle]),
    "solClient_container_getSize": (_rc, [_handle, POINTER(c_size_t)]),
    "solClient_container_deleteField": (_rc, [_handle, c_char_p]),
    **{
        f"solClient_msg_{verb}{name}": (_rc, args)
        for name in ("SenderId", "ApplicationMsgType", "HttpContentEncoding")
        for verb, args in (("get", [_handle, POINTER(c_char_p)]), ("set", [_handle, c_char_p]), ("delete", [_handle]))
    },
    "solClient_msg_deleteHttpContentType": (_rc, [_handle]),
    "solClient_msg_getExpiration": (_rc, [_handle, POINTER(c_int64)]),
    "solClient_msg_setExpiration": (_rc, [_handle, c_int64]),
    "solClient_msg_isAckImmediately": (_bool, [_handle]),
    "solClient_msg_setAckImmediately": (_rc, [_handle, _bool]),
    "solClient_msg_isDiscardIndication": (_bool, [_handle]),
    "solClient_msg_setDiscardIndication": (_rc, [_handle, _bool]),
    "solClient_msg_getUserDataPtr": (_rc, [_handle, POINTER(c_void_p), POINTER(c_uint32)]),
    "solClient_msg_setUserData": (_rc, [_handle, c_void_p, c_uint32]),
    "solClient_msg_isRedelivered": (_bool, [_handle]),
    "solClient_msg_getDeliveryCount": (_rc, [_handle, POINTER(c_int32)]),
    "solClient_msg_getRcvTimestamp": (_rc, [_handle, POINTER(c_int64)]),
    "solClient_msg_getTopicSequenceNumber": (_rc, [_handle, POINTER(c_int64)]),
    "solClient_msg_getMsgId": (_rc, [_handle, POINTER(c_uint64)]),
    "solClient_msg_getReplicationGroupMessageId": (_rc, [_handle, c_void_p, c_size_t]),
    "solClient_replicationGroupMessageId_toString": (_rc, [c_void_p, c_size_t, c_char_p, c_size_t]),
    "solClient_msg_dup": (_rc, [_handle, POINTER(_handle)]),
    "solClient_msg_encodeToSMF": (_rc, [_handle, POINTER(BufInfo), POINTER(c_void_p)]),
    "solClient_msg_decodeFromSmf": (_rc, [POINTER(BufInfo), POINTER(_handle)]),
    "solClient_datablock_free": (_rc, [POINTER(c_void_p)]),
    "solClient_resetLastErrorInfo": (None, []),
    "solClient_msg_isCacheMsg": (c_int, [_handle]),
    "solClient_msg_getCacheRequestId": (_rc, [_handle, POINTER(c_uint64)]),
    "solClient_msg_getConsumerIdCount": (_rc, [_handle, POINTER(c_uint32)]),
    "solClient_msg_getConsumerId": (_rc, [_handle, c_uint32, POINTER(c_uint32)]),
    **{
        f"solClient_msg_tracing_{verb}{part}Byte": (_rc, [_handle, c_int, c_char_p, c_size_t])
        for verb in ("get", "set")
        for part in ("TraceId", "SpanId")
    },
    "solClient_msg_tracing_isSampled": (_rc, [_handle, c_int, POINTER(c_ubyte)]),
    "solClient_msg_tracing_setSampled": (_rc, [_handle, c_int, c_ubyte]),
    "solClient_msg_tracing_getTraceStatePtr": (_rc, [_handle, c_int, POINTER(c_void_p), POINTER(c_size_t)]),
    "solClient_msg_tracing_setTraceState": (_rc, [_handle, c_int, c_char_p, c_size_t]),
    "solClient_msg_tracing_deleteContext": (_rc, [_handle, c_int]),
    "solClient_msg_tracing_getInjectionStandardByte": (_rc, [_handle, c_int, POINTER(c_ubyte)]),
    "solClient_msg_tracing_setInjectionStandardByte": (_rc, [_handle, c_int, c_ubyte]),
    "solClient_msg_tracing_getBaggagePtr": (_rc, [_handle, POINTER(c_void_p), POINTER(c_size_t)]),
    "solClient_msg_tracing_setBaggage": (_rc, [_handle, c_char_p]),
    "solClient_msg_tracing_deleteBaggage": (_rc, [_handle]),
    "solClient_msg_setXml": (_rc, [_handle, c_char_p, c_uint32]),
    "solClient_msg_getXmlPtr": (_rc, [_handle, POINTER(c_void_p), POINTER(c_uint32)]),
    "solClient_msg_setCorrelationTag": (_rc, [_handle, c_char_p, c_uint32]),
    "solClient_msg_getCorrelationTagPtr": (_rc, [_handle, POINTER(c_void_p), POINTER(c_uint32)]),
    "solClient_msg_dumpExt": (_rc, [_handle, c_char_p, c_size_t, c_uint32]),
    "solClient_msg_reset": (_rc, [_handle]),
    "solClient_replicationGroupMessageId_fromString": (_rc, [c_void_p, c_size_t, c_char_p]),
    "solClient_replicationGroupMessageId_compare": (_rc, [c_void_p, c_void_p, POINTER(c_int)]),
}

CONTROL = {
    "standin_reset": (None, []),
    "standin_fail_next": (None, [c_char_p, c_int, c_int]),
    "standin_set_error_text": (None, [c_char_p]),
    "standin_calls": (c_ulong, [c_char_p]),
    "standin_last_message": (c_void_p, []),
    "standin_live_messages": (c_long, []),
    "standin_foreign_handles": (c_ulong, []),
    "standin_small_map_sizes": (c_ulong, []),
    "standin_open_containers": (c_ulong, []),
    "standin_set_received": (c_int, [c_void_p, c_char_p, c_longlong]),
    "standin_set_replication_group_message_id": (c_int, [c_void_p, c_void_p, c_size_t]),
    "standin_set_consumer_ids": (c_int, [c_void_p, POINTER(c_uint32), c_size_t]),
}


def field_value(field):
    """What a read field holds, as Python sees it: floats as their raw bits (so that NaN and
    -0.0 compare), text and bytes as bytes, a destination as (type, name), NULL as None, a
    container as its handle."""
    value, kind = field.value, field.type
    if kind in (FLOAT, DOUBLE):
        return value.uint32 if kind == FLOAT else value.uint64
    if kind in (STRING,):
        return ctypes.string_at(value.pointer)
    if kind in (BYTEARRAY, SMF, UNKNOWN):
        return ctypes.string_at(value.pointer, field.length) if value.pointer else b""
    if kind == DESTINATION:
        return value.dest.destType, value.dest.dest
    if kind in (MAP, STREAM):
        return value.pointer
    if kind == NULL:
        return None
    width = {
        BOOL: "boolean",
        UINT8: "uint8",
        INT8: "int8",
        UINT16: "uint16",
        INT16: "int16",
        UINT32: "uint32",
        INT32: "int32",
        UINT64: "uint64",
        INT64: "int64",
        WCHAR: "wchar",
    }
    return getattr(value, width[kind])


# The header parameters a broker adds to a message it delivers, as the encoding holds them.
BROKER_PARAMETERS = {
    "redelivered": lambda value: b"\x19\x02",
    "topic_sequence_number": lambda value: b"\x1e\x0a" + struct.pack(">q", value),
    "message_id": lambda value: b"\x11\x0a" + struct.pack(">q", value),
}


def name_address(record):
    """The address that a destination record's name pointer holds, or None."""
    return c_void_p.from_buffer(record, Destination.dest.offset).value


class Library:
    """The operations of one loaded library, plus helpers for the common steps."""

    def __init__(self, cdll):
        self.cdll = cdll
        self.has_control = hasattr(cdll, "standin_reset")
        functions = dict(OPERATIONS, **(CONTROL if self.has_control else {}))
        for name, (restype, argtypes) in functions.items():
            function = getattr(cdll, name)
            function.restype, function.argtypes = restype, argtypes
            setattr(self, name, function)

    def alloc(self):
        """A new message handle (an int); raises if the library refuses."""
        handle = c_void_p()
        if self.solClient_msg_alloc(byref(handle)) != OK:
            raise RuntimeError("solClient_msg_alloc failed: " + self.last_error_text())
        return handle.value

    def free(self, msg):
        return self.solClient_msg_free(byref(c_void_p(msg)))

    def set_destination(self, msg, dest_type, name, setter="solClient_msg_setDestination"):
        record = Destination(dest_type, name)
        return getattr(self, setter)(msg, byref(record), DESTINATION_SIZE)

    def get_destination(self, msg, getter="solClient_msg_getDestination"):
        """(code, type, name bytes); the type and name are None when nothing was written."""
        record = Destination(-99, None)
        rc = getattr(self, getter)(msg, byref(record), DESTINATION_SIZE)
        written = record.destType != -99
        return rc, record.destType if written else None, record.dest

    def number(self, getter, msg, ctype):
        """(code, the number of C type ctype that the getter wrote, or UNWRITTEN)."""
        value = ctype(UNWRITTEN)
        return getattr(self, getter)(msg, byref(value)), value.value

    def uint32(self, getter, msg):
        return self.number(getter, msg, c_uint32)

    def text(self, getter, msg):
        """(code, the text the getter points to, or None when it wrote no pointer)."""
        value = c_char_p()
        return getattr(self, getter)(msg, byref(value)), value.value

    def attachment(self, msg, getter="solClient_msg_getBinaryAttachmentPtr"):
        """(code, pointer, size, the bytes there); pointer and size stay UNWRITTEN when the
        library writes neither, as with no attachment. The getter may be getUserDataPtr."""
        pointer, size = c_void_p(UNWRITTEN), c_uint32(UNWRITTEN)
        rc = getattr(self, getter)(msg, byref(pointer), byref(size))
        data = ctypes.string_at(pointer.value, size.value) if rc == OK else b""
        return rc, pointer.value, size.value, data

    def new_map(self, msg, size=64):
        # The genuine library corrupts its heap when asked for a map of 8 entries or fewer.
        container = c_void_p()
        rc = self.solClient_msg_createUserPropertyMap(msg, byref(container), size)
        return rc, container.value

    def user_map(self, msg):
        container = c_void_p()
        return self.solClient_msg_getUserPropertyMap(msg, byref(container)), container.value

    def get_string(self, container, name):
        value = c_char_p()
        return self.solClient_container_getStringPtr(container, byref(value), name), value.value

    def close(self, container):
        """(code, the caller's handle variable afterwards)."""
        box = c_void_p(container)
        return self.solClient_container_closeMapStream(byref(box)), box.value

    def standalone(self, kind="Map", size=4096):
        """(code, handle, the memory it lives in, which must outlive the handle)."""
        memory, handle = ctypes.create_string_buffer(size), c_void_p()
        rc = getattr(self, f"solClient_container_create{kind}")(byref(handle), memory, size)
        return rc, handle.value, memory

    def open_container(self, call, owner, *args):
        """(code, handle) of a call that hands a container handle out in its second argument."""
        handle = c_void_p(UNWRITTEN)
        return getattr(self, call)(owner, byref(handle), *args), handle.value

    def add(self, container, kind, value=None, name=None):
        """Adds a field: value as Python has it (bytes for text and byte arrays, (type, name)
        for a destination)."""
        if kind in ("ByteArray", "Smf", "UnknownField"):
            args = [value, len(value)]
        elif kind == "Destination":
            args = [byref(Destination(*value)), DESTINATION_SIZE]
        else:
            args = [] if kind == "Null" else [value]
        return getattr(self, f"solClient_container_add{kind}")(container, *args, name)

    def next_field(self, container):
        """(code, name, type, length, value) of the next field; the value as field_value
        gives it, a container's read whole (and its handle closed)."""
        field, name = Field(UNWRITTEN, UNWRITTEN), c_char_p(b"sentinel")
        rc = self.solClient_container_getNextField(container, byref(field), FIELD_SIZE, byref(name))
        if rc != OK:
            return rc, None, None, None, None
        return (rc, name.value, field.type, field.length, self.content(field))

    def content(self, field):
        value = field_value(field)
        if field.type in (MAP, STREAM):
            fields = self.fields(value)
            assert self.close(value)[0] == OK
            return fields
        return value

    def fields(self, container):
        """Every field from the start, as (name, type, value); containers as lists of theirs."""
        assert self.solClient_container_rewind(container) == OK
        found = []
        while (read := self.next_field(container))[0] == OK:
            found.append((read[1], read[2], read[4]))
        assert read[0] == EOS, read
        return found

    # The wire encoding, which only the genuine library has.

    def encode(self, msg):
        """The message's wire encoding, bytes; raises if the library refuses."""
        out, block = BufInfo(), c_void_p()
        assert self.solClient_msg_encodeToSMF(msg, byref(out), byref(block)) == OK, self.last_error_text()
        data = ctypes.string_at(out.buf_p, out.bufSize)
        assert self.solClient_datablock_free(byref(block)) == OK
        return data

    def decode(self, data):
        """A new message handle decoded from the wire encoding."""
        buffer = ctypes.create_string_buffer(data, len(data))
        handle = c_void_p()
        assert (
            self.solClient_msg_decodeFromSmf(byref(BufInfo(ctypes.addressof(buffer), len(data))), byref(handle)) == OK
        )
        return handle.value

    def dup(self, msg):
        """A new message handle, a copy of msg; raises if the library refuses."""
        copy = c_void_p()
        assert self.solClient_msg_dup(msg, byref(copy)) == OK, self.last_error_text()
        return copy.value

    def replication_group_message_id(self, msg, size=RMID_SIZE):
        """(code, the 16 bytes read, or None when the library wrote none)."""
        preset = b"\xaa" * RMID_SIZE
        buffer = ctypes.create_string_buffer(preset, RMID_SIZE)
        rc = self.solClient_msg_getReplicationGroupMessageId(msg, buffer, size)
        return rc, None if buffer.raw == preset else buffer.raw

    def sub_code(self):
        return self.solClient_getLastErrorInfo().contents.subCode

    def last_error(self):
        """(sub-code, response code, text) of this thread's last-error record."""
        info = self.solClient_getLastErrorInfo().contents
        return info.subCode, info.responseCode, info.errorStr

    def http_content_type(self, msg):
        return self.text("solClient_msg_getHttpContentType", msg)

    def dump(self, msg, size=4096, flags=None):
        """(code, the text up to the first NUL), of solClient_msg_dump, or of dumpExt with the
        flags given. The buffer starts with no NUL in it, so the text ends where the library
        put one."""
        buffer = ctypes.create_string_buffer(b"\x01" * size, size)
        if flags is None:
            return self.solClient_msg_dump(msg, buffer, size), buffer.value
        return self.solClient_msg_dumpExt(msg, buffer, size, flags), buffer.value

    def rmid_from_text(self, text):
        """(code, the 16 bytes written, or None when the library wrote none)."""
        preset = b"\xaa" * RMID_SIZE
        buffer = ctypes.create_string_buffer(preset, RMID_SIZE)
        rc = self.solClient_replicationGroupMessageId_fromString(buffer, RMID_SIZE, text)
        return rc, None if buffer.raw == preset else buffer.raw

    def rmid_text(self, raw):
        """(code, the text toString writes for 16 bytes)."""
        buffer = ctypes.create_string_buffer(42)
        return self.solClient_replicationGroupMessageId_toString(raw, RMID_SIZE, buffer, 42), buffer.value

    def rmid_compare(self, first, second):
        """(code, the result written, or UNWRITTEN)."""
        result = c_int(UNWRITTEN)
        return self.solClient_replicationGroupMessageId_compare(first, second, byref(result)), result.value

    def last_error_text(self):
        return self.solClient_getLastErrorInfo().contents.errorStr.decode(errors="replace")

    # Test control (the stand-in only)

    def fail_next(self, operation, code=FAIL, times=1):
        self.standin_fail_next(operation.encode(), code, times)

    def calls(self, operation):
        return self.standin_calls(operation.encode())

    def calls_made(self, action):
        """The library operations that action called, with how often. The collector is kept
        from running meanwhile, where it could free messages that earlier tests left."""
        gc.collect()
        gc.disable()
        try:
            before = {op: self.calls(op) for op in OPERATIONS}
            action()
            return {op: self.calls(op) - n for op, n in before.items() if self.calls(op) != n}
        finally:
            gc.enable()

    def check_refusal(self, action):
        """Runs an assignment that must be refused; on the stand-in, also checks that it
        reached no library call, not even a dump to quote the message in the error."""
        if not self.has_control:
            return action()
        assert self.calls_made(action) == {}

    def received(self, **facts):
        """A Direct message to topic t/1 with priority 4, as decoding gives it, that carries
        the facts (redelivered, topic_sequence_number, message_id; numbers as signed 64
        bits). The genuine library reads them from the wire: they are given there by decoding
        its own encoding with the header parameters a broker adds; on the stand-in, through
        its test control."""
        msg = self.alloc()
        assert self.set_destination(msg, TOPIC, b"t/1") == OK and self.solClient_msg_setPriority(msg, 4) == OK
        if self.has_control:
            assert all(self.set_received(msg, fact, value) == 0 for fact, value in facts.items())
            return msg
        data = self.encode(msg)
        self.free(msg)
        extra = b"".join(BROKER_PARAMETERS[fact](value) for fact, value in facts.items())
        header, total = struct.unpack(">II", data[4:12])  # both lengths cover the parameters
        return self.decode(data[:4] + struct.pack(">II", header + len(extra), total + len(extra)) + extra + data[12:])

    def set_received(self, msg, fact, value):
        return self.standin_set_received(msg, fact.encode(), value)

    def set_consumer_ids(self, msg, ids):
        return self.standin_set_consumer_ids(msg, (c_uint32 * len(ids))(*ids), len(ids))

    def injection_standard(self, msg, context_type):
        """(code, the value read). The genuine library writes four bytes through its byte pointer."""
        standard = c_uint32(UNWRITTEN)
        code = self.solClient_msg_tracing_getInjectionStandardByte(
            msg, context_type, ctypes.cast(ctypes.pointer(standard), POINTER(c_ubyte))
        )
        return code, standard.value

    def set_error_text(self, text):
        self.standin_set_error_text(None if text is None else text.encode())

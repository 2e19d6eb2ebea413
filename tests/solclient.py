"""ctypes binding of libsolclient for the tests, fit for the stand-in and the genuine library.

`Library(cdll)` binds the operations of a loaded library under their own names, with
their C types, and the stand-in's test-control functions when the library has them.
"""

import ctypes
from ctypes import (POINTER, byref, c_char, c_char_p, c_int, c_int32, c_int64, c_long, c_size_t,
                    c_ubyte, c_uint32, c_uint64, c_ulong, c_void_p)

OK, NOT_FOUND, FAIL = 0, 5, -1
TOPIC, QUEUE, TOPIC_TEMP, QUEUE_TEMP = 0, 1, 2, 3
DIRECT, PERSISTENT, NON_PERSISTENT = 0x00, 0x10, 0x20
DESTINATION_SIZE = 16
UNWRITTEN = 0xBAD  # what the helpers preset their number and pointer outputs to


class Destination(ctypes.Structure):
    _fields_ = [("destType", c_int), ("dest", c_char_p)]


class ErrorInfo(ctypes.Structure):
    _fields_ = [("subCode", c_int), ("responseCode", c_int), ("errorStr", c_char * 256)]


assert ctypes.sizeof(Destination) == DESTINATION_SIZE
assert ctypes.sizeof(ErrorInfo) == 264

_rc, _handle, _bool = c_int, c_void_p, c_ubyte
_dest = POINTER(Destination)

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

    def attachment(self, msg):
        """(code, pointer, size, the bytes there); pointer and size stay UNWRITTEN when the
        library writes neither, as with no attachment."""
        pointer, size = c_void_p(UNWRITTEN), c_uint32(UNWRITTEN)
        rc = self.solClient_msg_getBinaryAttachmentPtr(msg, byref(pointer), byref(size))
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

    def http_content_type(self, msg):
        return self.text("solClient_msg_getHttpContentType", msg)

    def dump(self, msg, size=4096):
        """(code, the text up to the first NUL). The buffer starts with no NUL in it, so
        the text ends where the library put one."""
        buffer = ctypes.create_string_buffer(b"\x01" * size, size)
        return self.solClient_msg_dump(msg, buffer, size), buffer.value

    def last_error_text(self):
        return self.solClient_getLastErrorInfo().contents.errorStr.decode(errors="replace")

    # Test control (the stand-in only)

    def fail_next(self, operation, code=FAIL, times=1):
        self.standin_fail_next(operation.encode(), code, times)

    def calls(self, operation):
        return self.standin_calls(operation.encode())

    def calls_made(self, action):
        """The library operations that action called, with how often."""
        before = {op: self.calls(op) for op in OPERATIONS}
        action()
        return {op: self.calls(op) - n for op, n in before.items() if self.calls(op) != n}

    def check_refusal(self, action):
        """Runs an assignment that must be refused; on the stand-in, also checks that it
        reached no library call, not even a dump to quote the message in the error."""
        if not self.has_control:
            return action()
        assert self.calls_made(action) == {}

    def set_error_text(self, text):
        self.standin_set_error_text(None if text is None else text.encode())

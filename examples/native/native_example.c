/* A native module that reads a zelmsg.ZelMsg with libsolclient's own calls, and builds a
 * message with them that Python then uses as a ZelMsg. */
#include <Python.h>

#include <stdint.h>
#include <time.h>

#include "zelmsg/capi.h"

/* The libsolclient calls this module makes, declared as the library's C ABI has them. */
typedef struct {
    int destType; /* 0 topic, 1 queue */
    const char *dest;
} solClient_destination_t;

int solClient_msg_alloc(void **msg_p);
int solClient_msg_free(void **msg_p);
int solClient_msg_getDestination(void *msg_p, solClient_destination_t *dest_p, size_t destSize);
int solClient_msg_setDestination(void *msg_p, solClient_destination_t *dest_p, size_t destSize);
int solClient_msg_setClassOfService(void *msg_p, uint32_t cos);
int solClient_msg_setBinaryAttachment(void *msg_p, const void *buf_p, uint32_t size);

static ZelMsg_CAPI *zelmsg_api;

/* read_dest(msg) -> zelmsg.Destination, read from the library's message itself. */
static PyObject *read_dest(PyObject *module, PyObject *msg) {
    (void)module;
    void *handle = zelmsg_api->handle(msg);
    if (handle == NULL) return NULL;
    solClient_destination_t dest = {-1, ""};
    if (solClient_msg_getDestination(handle, &dest, sizeof dest) != 0) {
        PyErr_SetString(PyExc_LookupError, "the message has no destination");
        return NULL;
    }
    PyObject *zelmsg = PyImport_ImportModule("zelmsg");
    if (zelmsg == NULL) return NULL;
    PyObject *type = PyObject_CallMethod(zelmsg, "DestinationType", "i", dest.destType);
    PyObject *result = type ? PyObject_CallMethod(zelmsg, "Destination", "sO", dest.dest, type) : NULL;
    Py_XDECREF(type);
    Py_DECREF(zelmsg);
    return result;
}

/* make_message(topic, cos, payload) -> zelmsg.ZelMsg: a message built with library calls,
 * then adopted. cos is numbered as the library numbers it, from 0. */
static PyObject *make_message(PyObject *module, PyObject *args) {
    (void)module;
    const char *topic;
    unsigned int cos;
    const char *payload;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "sIy#", &topic, &cos, &payload, &size)) return NULL;

    void *handle = NULL;
    if (solClient_msg_alloc(&handle) != 0) {
        PyErr_SetString(PyExc_MemoryError, "libsolclient cannot allocate a message");
        return NULL;
    }
    solClient_destination_t dest = {0, topic};
    if (solClient_msg_setDestination(handle, &dest, sizeof dest) != 0 ||
        solClient_msg_setClassOfService(handle, cos) != 0 ||
        solClient_msg_setBinaryAttachment(handle, payload, (uint32_t)size) != 0) {
        PyErr_SetString(PyExc_ValueError, "libsolclient refused a value");
        solClient_msg_free(&handle);
        return NULL;
    }
    PyObject *msg = zelmsg_api->adopt(handle);
    if (msg == NULL) solClient_msg_free(&handle); /* a failed adopt leaves the message ours */
    return msg;
}

/* Timing loops for scripts/bench: CPU time per iteration in ns. */
static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

/* time_handle(msg, n): one handle() call. */
static PyObject *time_handle(PyObject *module, PyObject *args) {
    (void)module;
    PyObject *msg;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "On", &msg, &n)) return NULL;
    if (n <= 0) return PyErr_Format(PyExc_ValueError, "n must be positive");
    if (zelmsg_api->handle(msg) == NULL) return NULL;
    Py_ssize_t found = 0;
    double start = now_ns();
    for (Py_ssize_t i = 0; i < n; ++i) found += zelmsg_api->handle(msg) != NULL;
    double elapsed = now_ns() - start;
    return found == n ? PyFloat_FromDouble(elapsed / (double)n) : NULL;
}

/* time_adopt(n): allocating a message with the library, adopting it, releasing the ZelMsg. */
static PyObject *time_adopt(PyObject *module, PyObject *arg) {
    (void)module;
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n <= 0) return PyErr_Occurred() ? NULL : PyErr_Format(PyExc_ValueError, "n must be positive");
    double start = now_ns();
    for (Py_ssize_t i = 0; i < n; ++i) {
        void *handle = NULL;
        if (solClient_msg_alloc(&handle) != 0) return PyErr_NoMemory();
        PyObject *msg = zelmsg_api->adopt(handle);
        if (msg == NULL) return NULL;
        Py_DECREF(msg);
    }
    return PyFloat_FromDouble((now_ns() - start) / (double)n);
}

/* time_new(n): ZelMsg() and its release, for comparison. */
static PyObject *time_new(PyObject *module, PyObject *arg) {
    (void)module;
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n <= 0) return PyErr_Occurred() ? NULL : PyErr_Format(PyExc_ValueError, "n must be positive");
    PyObject *zelmsg = PyImport_ImportModule("zelmsg");
    PyObject *message_type = zelmsg ? PyObject_GetAttrString(zelmsg, "ZelMsg") : NULL;
    Py_XDECREF(zelmsg);
    if (message_type == NULL) return NULL;
    double start = now_ns();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *msg = PyObject_CallNoArgs(message_type);
        if (msg == NULL) break;
        Py_DECREF(msg);
    }
    double elapsed = now_ns() - start;
    Py_DECREF(message_type);
    return PyErr_Occurred() ? NULL : PyFloat_FromDouble(elapsed / (double)n);
}

static int exec_module(PyObject *module) {
    (void)module;
    zelmsg_api = ZelMsg_ImportCAPI();
    return zelmsg_api == NULL ? -1 : 0;
}

static PyMethodDef methods[] = {
    {"read_dest", read_dest, METH_O, "read_dest(msg): the destination, read with libsolclient"},
    {"make_message", make_message, METH_VARARGS, "make_message(topic, cos, payload): a ZelMsg built by libsolclient"},
    {"time_handle", time_handle, METH_VARARGS, "time_handle(msg, n): ns per handle() call"},
    {"time_adopt", time_adopt, METH_O, "time_adopt(n): ns per library alloc, adopt() and release"},
    {"time_new", time_new, METH_O, "time_new(n): ns per ZelMsg() and release"},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, exec_module},
    /* zelmsg itself runs in the main interpreter only. */
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, NULL},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "native_example",
    "Works on zelmsg messages with libsolclient's own calls.",
    0,
    methods,
    slots,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_native_example(void) { return PyModuleDef_Init(&module_def); }

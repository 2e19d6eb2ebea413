/* zelmsg's C API: lets native code hand a zelmsg.ZelMsg's library message to libsolclient,
 * and turn a message the library gave out into a ZelMsg.
 *
 * Needs nothing but Python.h, so it can sit beside the library's own headers. Call
 * ZelMsg_ImportCAPI() once, with the interpreter lock held (from a module's exec step, say),
 * and keep the table: it is constant and lives as long as the process. Every function in it
 * is called with the interpreter lock held.
 *
 * The library instance: link against the very file zelmsg loads (the CMake target
 * zelmsg::solclient), or load libsolclient.so.1 by that name once zelmsg is imported. A second
 * copy loaded by another path is another library, whose handles name other messages. */
#ifndef ZELMSG_CAPI_H
#define ZELMSG_CAPI_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZELMSG_CAPI_VERSION 1
#define ZELMSG_CAPSULE_NAME "zelmsg._C_API"

typedef struct {
    int version;                      /* the table's version; later versions only append members */
    int (*check)(PyObject *obj);      /* 1 if obj is a ZelMsg (or a subclass instance), else 0; never fails */
    void *(*handle)(PyObject *msg);   /* the message's solClient_opaqueMsg_pt, borrowed: it names the message
                                         while msg lives. Ask for it again for each use after Python code may
                                         have run (each send, each change): zelmsg then knows that native code
                                         may change the message, and keeps nothing of it stale.
                                         NULL with TypeError set if msg is not a ZelMsg,
                                         NULL with ValueError set if it holds no message */
    PyObject *(*adopt)(void *handle); /* a new ZelMsg that owns this library message and frees it when destroyed;
                                         NULL with ValueError set for a null handle; on any failure, NULL with an
                                         exception set, and the caller still owns the handle */
} ZelMsg_CAPI;

/* Imports zelmsg and returns its table; NULL with ImportError set on failure or when the
 * table's version is older than ZELMSG_CAPI_VERSION (the message names both versions). */
static inline ZelMsg_CAPI *ZelMsg_ImportCAPI(void) {
    ZelMsg_CAPI *api = (ZelMsg_CAPI *)PyCapsule_Import(ZELMSG_CAPSULE_NAME, 0);
    if (api == NULL) {
        /* A missing or foreign attribute raises AttributeError or ValueError: report an
           ImportError caused by it, as a failed import of the module itself does. */
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject *cause = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_ImportError, "zelmsg has no usable C API (" ZELMSG_CAPSULE_NAME ")");
            PyObject *error = PyErr_GetRaisedException();
            PyException_SetCause(error, Py_NewRef(cause));
            PyException_SetContext(error, cause);
            PyErr_SetRaisedException(error);
        }
        return NULL;
    }
    if (api->version < ZELMSG_CAPI_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "zelmsg's C API is version %d, older than version %d that this code was built for", api->version,
                     ZELMSG_CAPI_VERSION);
        return NULL;
    }
    return api;
}

#ifdef __cplusplus
}
#endif

#endif

/* A second native module for the tests: another party of the shared borrow registry.
 *
 * acquire / acquire_mut / release / release_mut call the four functions of
 * the record published on NumPy's core module, as a module that hands out
 * array views would. The argument must be a NumPy array.
 *
 * install_registry(version) instead publishes a registry of this module's
 * own before anybody else does: it refuses or accepts every borrow with a
 * code set by set_registry(version, code) and counts the calls it gets
 * (registry_calls() -> (acquires, releases)).
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <stdlib.h>

#define CAPSULE_NAME "_RUST_NUMPY_BORROW_CHECKING_API"

typedef struct {
    uint64_t version;
    void *state;
    int (*acquire)(void *state, PyObject *array);
    int (*acquire_mut)(void *state, PyObject *array);
    void (*release)(void *state, PyObject *array);
    void (*release_mut)(void *state, PyObject *array);
} BorrowCheckingApi;

/* NumPy 2 keeps its core in numpy._core; 1.x in numpy.core (where a
 * numpy._core of stubs may exist too, so the version decides, not imports). */
static PyObject *core_module(void) {
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (numpy == NULL) return NULL;
    PyObject *version = PyObject_GetAttrString(numpy, "__version__");
    Py_DECREF(numpy);
    if (version == NULL) return NULL;
    const char *text = PyUnicode_AsUTF8(version);
    const int major = text == NULL ? 0 : atoi(text);
    Py_DECREF(version);
    if (text == NULL) return NULL;
    return PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
}

/* The published record, looked up once; the capsule is kept for good. */
static const BorrowCheckingApi *published;

static const BorrowCheckingApi *record(void) {
    if (published != NULL) return published;
    PyObject *core = core_module();
    if (core == NULL) return NULL;
    PyObject *capsule = PyObject_GetAttrString(core, CAPSULE_NAME);
    Py_DECREF(core);
    if (capsule == NULL) return NULL;
    if (!PyCapsule_CheckExact(capsule)) {
        Py_DECREF(capsule);
        PyErr_SetString(PyExc_TypeError, "no borrow checking capsule published");
        return NULL;
    }
    published = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    return published;
}

static PyObject *peer_acquire(PyObject *self, PyObject *array) {
    const BorrowCheckingApi *api = record();
    return api == NULL ? NULL : PyLong_FromLong(api->acquire(api->state, array));
}

static PyObject *peer_acquire_mut(PyObject *self, PyObject *array) {
    const BorrowCheckingApi *api = record();
    return api == NULL ? NULL : PyLong_FromLong(api->acquire_mut(api->state, array));
}

static PyObject *peer_release(PyObject *self, PyObject *array) {
    const BorrowCheckingApi *api = record();
    if (api == NULL) return NULL;
    api->release(api->state, array);
    Py_RETURN_NONE;
}

static PyObject *peer_release_mut(PyObject *self, PyObject *array) {
    const BorrowCheckingApi *api = record();
    if (api == NULL) return NULL;
    api->release_mut(api->state, array);
    Py_RETURN_NONE;
}

/* The counting registry of install_registry. Its callers hold the
 * interpreter lock, which serialises the counters. */
static int refusal_code;
static long acquires, releases;

static int counting_acquire(void *state, PyObject *array) {
    ++acquires;
    return refusal_code;
}

static void counting_release(void *state, PyObject *array) { ++releases; }

static BorrowCheckingApi own_record = {1, NULL, counting_acquire, counting_acquire, counting_release, counting_release};

static PyObject *peer_install_registry(PyObject *self, PyObject *arg) {
    unsigned long long version = PyLong_AsUnsignedLongLong(arg);
    if (version == (unsigned long long)-1 && PyErr_Occurred()) return NULL;
    own_record.version = version;
    PyObject *core = core_module();
    if (core == NULL) return NULL;
    PyObject *capsule = PyCapsule_New(&own_record, CAPSULE_NAME, NULL);
    int failed = capsule == NULL || PyObject_SetAttrString(core, CAPSULE_NAME, capsule) != 0;
    Py_XDECREF(capsule);
    Py_DECREF(core);
    if (failed) return NULL;
    Py_RETURN_NONE;
}

static PyObject *peer_set_registry(PyObject *self, PyObject *args) {
    unsigned long long version;
    int code;
    if (!PyArg_ParseTuple(args, "Ki", &version, &code)) return NULL;
    own_record.version = version;
    refusal_code = code;
    Py_RETURN_NONE;
}

static PyObject *peer_registry_calls(PyObject *self, PyObject *unused) {
    return Py_BuildValue("(ll)", acquires, releases);
}

static PyMethodDef peer_methods[] = {
    {"acquire", peer_acquire, METH_O, "acquire(array) -> return code of a read borrow"},
    {"acquire_mut", peer_acquire_mut, METH_O, "acquire_mut(array) -> return code of a write borrow"},
    {"release", peer_release, METH_O, "release(array): end a read borrow"},
    {"release_mut", peer_release_mut, METH_O, "release_mut(array): end a write borrow"},
    {"install_registry", peer_install_registry, METH_O, "install_registry(version): publish a counting registry"},
    {"set_registry", peer_set_registry, METH_VARARGS, "set_registry(version, code): change the counting registry"},
    {"registry_calls", peer_registry_calls, METH_NOARGS, "registry_calls() -> (acquires, releases)"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef peer_module = {PyModuleDef_HEAD_INIT, "veldspar_test_peer", NULL, -1, peer_methods};

PyMODINIT_FUNC PyInit_veldspar_test_peer(void) { return PyModule_Create(&peer_module); }

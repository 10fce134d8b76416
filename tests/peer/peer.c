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
 *
 * gate(nbytes) gives memory whose first read holds the reading thread at a
 * known point: gate_close() makes the memory unreadable, and the read that
 * follows (a kernel's, without the interpreter lock) stops in a fault handler
 * until gate_open(); gate_wait(seconds) returns True once a thread is held.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

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

/* The gate. One is closed at a time; its memory is never unmapped, since
 * arrays over it may outlive the test that made it. */
static char *gate_memory;
static size_t gate_size;
static sem_t gate_reached, gate_opened, gate_passed;
static volatile sig_atomic_t gate_holding; /* a reader is held, or on its way to be */
static struct sigaction previous_action;
static int gate_ready;

/* Waits on `sem` for up to `seconds`; 0 when it was posted. */
static int wait_for(sem_t *sem, double seconds) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += (time_t)seconds;
    until.tv_nsec += (long)((seconds - (double)(time_t)seconds) * 1e9);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    int rc;
    while ((rc = sem_timedwait(sem, &until)) != 0 && errno == EINTR) {
    }
    return rc;
}

static void on_fault(int signal_number, siginfo_t *info, void *context) {
    char *at = (char *)info->si_addr;
    if (gate_memory == NULL || at < gate_memory || at >= gate_memory + gate_size) {
        /* Not the gate: the previous handler (or the default) sees the fault again. */
        sigaction(SIGSEGV, &previous_action, NULL);
        return;
    }
    gate_holding = 1;
    sem_post(&gate_reached);
    /* A test that never opens the gate fails rather than hangs. */
    wait_for(&gate_opened, 60.0);
    mprotect(gate_memory, gate_size, PROT_READ | PROT_WRITE);
    sem_post(&gate_passed);
}

static PyObject *peer_gate(PyObject *self, PyObject *arg) {
    Py_ssize_t nbytes = PyLong_AsSsize_t(arg);
    if (nbytes == -1 && PyErr_Occurred()) return NULL;
    if (!gate_ready) {
        if (sem_init(&gate_reached, 0, 0) || sem_init(&gate_opened, 0, 0) || sem_init(&gate_passed, 0, 0)) {
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        struct sigaction action = {0};
        action.sa_sigaction = on_fault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        if (sigaction(SIGSEGV, &action, &previous_action) != 0) return PyErr_SetFromErrno(PyExc_OSError);
        gate_ready = 1;
    }
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    const size_t size = ((size_t)(nbytes > 0 ? nbytes : 1) + page - 1) / page * page;
    void *memory = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return PyErr_SetFromErrno(PyExc_OSError);
    gate_memory = memory;
    gate_size = size;
    return PyMemoryView_FromMemory(memory, nbytes, PyBUF_WRITE);
}

static PyObject *peer_gate_close(PyObject *self, PyObject *unused) {
    /* Whatever an earlier gate left counted (a reader that came too late) is forgotten. */
    while (sem_trywait(&gate_reached) == 0 || sem_trywait(&gate_opened) == 0 || sem_trywait(&gate_passed) == 0) {
    }
    gate_holding = 0;
    if (gate_memory == NULL || mprotect(gate_memory, gate_size, PROT_NONE) != 0) {
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    Py_RETURN_NONE;
}

static PyObject *peer_gate_wait(PyObject *self, PyObject *arg) {
    double seconds = PyFloat_AsDouble(arg);
    if (seconds == -1.0 && PyErr_Occurred()) return NULL;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = wait_for(&gate_reached, seconds);
    Py_END_ALLOW_THREADS
    return PyBool_FromLong(rc == 0);
}

static PyObject *peer_gate_open(PyObject *self, PyObject *unused) {
    if (!gate_holding) {
        /* Nobody came: the memory is simply readable again. */
        if (mprotect(gate_memory, gate_size, PROT_READ | PROT_WRITE) != 0) return PyErr_SetFromErrno(PyExc_OSError);
        Py_RETURN_FALSE;
    }
    sem_post(&gate_opened);
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = wait_for(&gate_passed, 120.0);
    Py_END_ALLOW_THREADS
    gate_holding = 0;
    return PyBool_FromLong(rc == 0);
}

static PyMethodDef peer_methods[] = {
    {"acquire", peer_acquire, METH_O, "acquire(array) -> return code of a read borrow"},
    {"acquire_mut", peer_acquire_mut, METH_O, "acquire_mut(array) -> return code of a write borrow"},
    {"release", peer_release, METH_O, "release(array): end a read borrow"},
    {"release_mut", peer_release_mut, METH_O, "release_mut(array): end a write borrow"},
    {"install_registry", peer_install_registry, METH_O, "install_registry(version): publish a counting registry"},
    {"set_registry", peer_set_registry, METH_VARARGS, "set_registry(version, code): change the counting registry"},
    {"registry_calls", peer_registry_calls, METH_NOARGS, "registry_calls() -> (acquires, releases)"},
    {"gate", peer_gate, METH_O, "gate(nbytes) -> writable memoryview over memory that can hold its reader"},
    {"gate_close", peer_gate_close, METH_NOARGS, "gate_close(): the next read of the gate's memory is held"},
    {"gate_wait", peer_gate_wait, METH_O, "gate_wait(seconds) -> whether a reader is held at the gate"},
    {"gate_open", peer_gate_open, METH_NOARGS, "gate_open() -> whether a held reader went on"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef peer_module = {PyModuleDef_HEAD_INIT, "veldspar_test_peer", NULL, -1, peer_methods};

PyMODINIT_FUNC PyInit_veldspar_test_peer(void) { return PyModule_Create(&peer_module); }

/* One RSA-2048 PKCS#1 v1.5 SHA-256 signature by the libcrypto that the stand-in links,
 * called as directly as Python allows: load(pem) keeps a key, sign(data) returns the
 * signature of `data` as bytes, each with a fresh signing context as the stand-in uses.
 * What the stand-in's authenticate costs beyond this is the stand-in's and the module's. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

static EVP_PKEY *key;

static PyObject *bench_load(PyObject *self, PyObject *pem) {
    (void)self;
    if (!PyBytes_Check(pem)) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return NULL;
    }
    BIO *bio = BIO_new_mem_buf(PyBytes_AS_STRING(pem), (int)PyBytes_GET_SIZE(pem));
    EVP_PKEY *loaded = bio != NULL ? PEM_read_bio_PrivateKey(bio, NULL, NULL, NULL) : NULL;
    BIO_free(bio);
    if (loaded == NULL) {
        ERR_clear_error();
        PyErr_SetString(PyExc_ValueError, "no private key");
        return NULL;
    }
    EVP_PKEY_free(key);
    key = loaded;
    Py_RETURN_NONE;
}

static PyObject *bench_sign(PyObject *self, PyObject *data) {
    unsigned char signature[512];
    size_t length = sizeof signature;
    EVP_PKEY_CTX *pkey_ctx = NULL;
    (void)self;
    if (!PyBytes_Check(data) || key == NULL) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, after load()");
        return NULL;
    }
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int ok = ctx != NULL && EVP_DigestSignInit(ctx, &pkey_ctx, EVP_sha256(), NULL, key) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(pkey_ctx, RSA_PKCS1_PADDING) > 0 &&
             EVP_DigestSign(ctx, signature, &length, (const unsigned char *)PyBytes_AS_STRING(data),
                            (size_t)PyBytes_GET_SIZE(data)) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        ERR_clear_error();
        PyErr_SetString(PyExc_RuntimeError, "signing failed");
        return NULL;
    }
    return PyBytes_FromStringAndSize((const char *)signature, (Py_ssize_t)length);
}

static PyMethodDef methods[] = {
    {"load", bench_load, METH_O, NULL},
    {"sign", bench_sign, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "bench_openssl", NULL, -1, methods};

PyMODINIT_FUNC PyInit_bench_openssl(void) { return PyModule_Create(&module); }

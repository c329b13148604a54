// pack_csr: a compressed-sparse-row structure straight to packed words, with
// no dense intermediate: one pass over indptr, indices and data that checks
// each entry as it reads it (indptr starts at 0 and never decreases, every
// column index lies below cols, every stored value is 0 or 1) and ORs the
// ones into a zeroed packed matrix, so unsorted and duplicate entries need
// no care. O(rows + nnz) reads, one word OR per stored one. The index and
// value types are template parameters of the pass, chosen once per call.
#include <algorithm>
#include <complex>
#include <cstring>
#include <limits>
#include <type_traits>

#include "native.hpp"

namespace bmf_native {

namespace {

using boolmat::BitMatrix;
using boolmat::Word;

// A one-dimensional array read through its stride.
struct Strided {
    const char* data = nullptr;
    npy_intp stride = 0;
    std::size_t len = 0;

    template <class T>
    T at(std::size_t k) const {
        T v;
        std::memcpy(&v, data + static_cast<npy_intp>(k) * stride, sizeof(T));
        return v;
    }
};

// An index array: integers of one of eight types (kind 'i' or 'u', 1 to 8 bytes).
struct IndexArray {
    Strided elems;
    char kind = 'i';
    int size = 8;

    // Entry k as a signed value; unsigned values beyond the signed range
    // read as the largest one, which lies beyond every valid position too.
    std::int64_t read(std::size_t k) const {
        switch (kind == 'u' ? -size : size) {
            case 1: return elems.at<std::int8_t>(k);
            case 2: return elems.at<std::int16_t>(k);
            case 4: return elems.at<std::int32_t>(k);
            case -1: return elems.at<std::uint8_t>(k);
            case -2: return elems.at<std::uint16_t>(k);
            case -4: return elems.at<std::uint32_t>(k);
            case -8: {
                const std::uint64_t v = elems.at<std::uint64_t>(k);
                return v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                           ? std::numeric_limits<std::int64_t>::max()
                           : static_cast<std::int64_t>(v);
            }
            default: return elems.at<std::int64_t>(k);
        }
    }
};

Strided strided(PyArrayObject* array) {
    return {static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0),
            static_cast<std::size_t>(PyArray_DIM(array, 0))};
}

// The kind character of an array's dtype ('b', 'i', 'u', 'f', 'c', ...).
char kind_of(PyArrayObject* array) { return PyArray_DESCR(array)->kind; }

std::string dtype_name(PyArrayObject* array) {
    return pyrt::str_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
}

// A one-dimensional array of native byte order.
PyArrayObject* vector_arg(PyObject* obj, const char* name) {
    PyArrayObject* array = array_arg(obj, name);
    if (PyArray_NDIM(array) != 1) {
        pyrt::raise(PyExc_ValueError, cat(name, " must be one-dimensional, not ",
                                          PyArray_NDIM(array), "-dimensional"));
    }
    if (!PyArray_ISNOTSWAPPED(array)) {
        pyrt::raise(PyExc_TypeError,
                    cat(name, " must be in native byte order, not dtype ", dtype_name(array)));
    }
    return array;
}

IndexArray index_arg(PyObject* obj, const char* name) {
    PyArrayObject* array = vector_arg(obj, name);
    const char kind = kind_of(array);
    const auto size = static_cast<int>(PyArray_ITEMSIZE(array));
    if ((kind != 'i' && kind != 'u') || (size != 1 && size != 2 && size != 4 && size != 8)) {
        pyrt::raise(PyExc_TypeError,
                    cat(name, " must have an integer dtype, not ", dtype_name(array)));
    }
    return {strided(array), kind, size};
}

// ---------------------------------------------------------------------------
// Stored values: each type says whether a value is 0 (skipped), 1 (set) or
// something else (an error).

enum class Cell { Zero, One, Bad };

struct AllOnes {};  // data is None
struct Half {};     // IEEE binary16, read as its bits

template <class T>
Cell cell_of(const Strided& data, std::size_t k) {
    if constexpr (std::is_same_v<T, AllOnes>) {
        return Cell::One;
    } else if constexpr (std::is_same_v<T, bool>) {
        return data.at<std::uint8_t>(k) != 0 ? Cell::One : Cell::Zero;
    } else if constexpr (std::is_same_v<T, Half>) {
        const auto bits = data.at<std::uint16_t>(k);
        if ((bits & 0x7fff) == 0) return Cell::Zero;  // +0 and -0
        return bits == 0x3c00 ? Cell::One : Cell::Bad;
    } else {
        const T v = data.at<T>(k);
        if (v == T(0)) return Cell::Zero;
        return v == T(1) ? Cell::One : Cell::Bad;
    }
}

// What went wrong first, in storage order; `at` is a position in indptr
// (Decreasing, PastEnd) or in indices and data (Column, Value).
struct Failure {
    enum What { None, FirstNotZero, Decreasing, PastEnd, Column, Value } what = None;
    std::size_t row = 0;
    std::size_t at = 0;
};

struct Inputs {
    IndexArray indptr;
    IndexArray indices;
    Strided data;       // len 0 when data is None
    std::size_t limit;  // entries that indices (and data) provide
    std::size_t rows;
    std::size_t cols;
};

template <class Value>
Failure scatter(const Inputs& in, BitMatrix& out) {
    Word* words = out.words_mut().data();
    const std::size_t stride = out.stride();
    const auto cols = static_cast<std::int64_t>(in.cols);
    const auto limit = static_cast<std::int64_t>(in.limit);
    std::int64_t begin = in.indptr.read(0);
    if (begin != 0) return {Failure::FirstNotZero, 0, 0};
    for (std::size_t i = 0; i < in.rows; ++i) {
        // Each entry is read once and checked before it is used, so the
        // pass never reads or writes outside the arrays it was given.
        const std::int64_t end = in.indptr.read(i + 1);
        if (end < begin) return {Failure::Decreasing, i, i + 1};
        if (end > limit) return {Failure::PastEnd, i, i + 1};
        Word* row = words + i * stride;
        for (auto k = static_cast<std::size_t>(begin); k < static_cast<std::size_t>(end); ++k) {
            const std::int64_t j = in.indices.read(k);
            if (j < 0 || j >= cols) return {Failure::Column, i, k};
            const Cell c = cell_of<Value>(in.data, k);
            if (c == Cell::Bad) return {Failure::Value, i, k};
            if (c == Cell::One) {
                const auto bit = static_cast<std::size_t>(j);
                row[boolmat::word_of(bit)] |= Word{1} << boolmat::bit_of(bit);
            }
        }
        begin = end;
    }
    return {};
}

using ScatterFn = Failure (*)(const Inputs&, BitMatrix&);

// The pass for the dtype of data (null when it has none); a non-numeric
// dtype is a TypeError.
ScatterFn scatter_for(PyArrayObject* data) {
    if (data == nullptr) return scatter<AllOnes>;
    const char kind = kind_of(data);
    const auto size = PyArray_ITEMSIZE(data);
    switch (kind) {
        case 'b': return scatter<bool>;
        case 'i':
            if (size == 1) return scatter<std::int8_t>;
            if (size == 2) return scatter<std::int16_t>;
            if (size == 4) return scatter<std::int32_t>;
            if (size == 8) return scatter<std::int64_t>;
            break;
        case 'u':
            if (size == 1) return scatter<std::uint8_t>;
            if (size == 2) return scatter<std::uint16_t>;
            if (size == 4) return scatter<std::uint32_t>;
            if (size == 8) return scatter<std::uint64_t>;
            break;
        case 'f':
            if (size == 2) return scatter<Half>;
            if (size == 4) return scatter<float>;
            if (size == 8) return scatter<double>;
            if (size == sizeof(long double)) return scatter<long double>;
            break;
        case 'c':
            if (size == 8) return scatter<std::complex<float>>;
            if (size == 16) return scatter<std::complex<double>>;
            if (size == sizeof(std::complex<long double>))
                return scatter<std::complex<long double>>;
            break;
        default: break;
    }
    pyrt::raise(PyExc_TypeError, cat("data must have a numeric dtype, not ", dtype_name(data)));
}

// str() of element k of a one-dimensional array.
std::string element_text(PyObject* array, std::size_t k) {
    Ref item = pyrt::own(PySequence_GetItem(array, static_cast<Py_ssize_t>(k)));
    return pyrt::str_of(item.get());
}

[[noreturn]] void raise_failure(const Failure& f, PyObject* const* argv, const Inputs& in) {
    PyObject* indptr = argv[0];
    PyObject* indices = argv[1];
    PyObject* data = argv[2];
    switch (f.what) {
        case Failure::FirstNotZero:
            pyrt::raise(PyExc_ValueError,
                        cat("indptr must start at 0, not ", element_text(indptr, 0)));
        case Failure::Decreasing:
            pyrt::raise(PyExc_ValueError, cat("indptr must not decrease, but indptr[", f.at - 1,
                                              "] = ", element_text(indptr, f.at - 1), " > indptr[",
                                              f.at, "] = ", element_text(indptr, f.at)));
        case Failure::PastEnd: {
            const bool short_indices = in.indices.elems.len == in.limit;
            pyrt::raise(PyExc_ValueError,
                        cat("indptr[", f.at, "] = ", element_text(indptr, f.at), " is beyond the ",
                            in.limit, " entries of ", short_indices ? "indices" : "data"));
        }
        case Failure::Column:
            pyrt::raise(PyExc_ValueError,
                        cat("indices[", f.at, "] = ", element_text(indices, f.at), " (row ", f.row,
                            ") is not a column index below cols = ", in.cols));
        case Failure::Value:
            pyrt::raise(PyExc_ValueError,
                        cat("data[", f.at, "] = ", element_text(data, f.at), " at cell (", f.row,
                            ", ", element_text(indices, f.at), ") is neither 0 nor 1"));
        case Failure::None: break;
    }
    pyrt::raise(PyExc_SystemError, "pack_csr: no failure to report");
}

PyObject* pack_csr_impl(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{
            "pack_csr()", {"indptr", "indices", "data", "rows", "cols"}, 5};
        PyObject* argv[5];
        pyrt::bind_args(sig, args, kwargs, argv);
        Inputs in{};
        in.indptr = index_arg(argv[0], "indptr");
        in.indices = index_arg(argv[1], "indices");
        PyArrayObject* data = argv[2] == Py_None ? nullptr : vector_arg(argv[2], "data");
        const ScatterFn pass = scatter_for(data);
        in.rows = positive_arg(argv[3], "rows");
        in.cols = positive_arg(argv[4], "cols");

        if (in.indptr.elems.len == 0 || in.indptr.elems.len - 1 != in.rows) {
            pyrt::raise(PyExc_ValueError, cat("indptr must have rows + 1 = ", in.rows + 1,
                                              " entries, not ", in.indptr.elems.len));
        }
        in.limit = in.indices.elems.len;
        if (data != nullptr) {
            in.data = strided(data);
            in.limit = std::min(in.limit, in.data.len);
        }

        BitMatrix out = BitMatrix::zeros(in.rows, in.cols);
        const Failure failure = pyrt::without_gil([&] { return pass(in, out); });
        if (failure.what != Failure::None) raise_failure(failure, argv, in);
        return words_array(std::move(out));
    });
}

PyMethodDef g_pack_csr_def = {
    "pack_csr", PYRT_FUNCTION(pack_csr_impl), METH_VARARGS | METH_KEYWORDS,
    PYRT_SIGNATURE("pack_csr(indptr, indices, data, rows, cols)")
    "Packs a CSR structure (any integer index dtype; data of any numeric\n"
    "dtype or None for all ones) straight to words. Explicit zeros are skipped;\n"
    "any stored value other than 0 and 1 raises ValueError naming its cell."};

}  // namespace

void add_pack_csr(PyObject* module_object) {
    pyrt::add_to_module(module_object, "pack_csr",
                        pyrt::make_function(g_module, &g_pack_csr_def, module_object));
}

}  // namespace bmf_native

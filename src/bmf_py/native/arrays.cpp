// The door of quorbmf._native: count, seed and method arguments, packed matrices
// checked in NumPy arrays and seen as core views, and core results handed
// back as arrays over their own words.
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "bmf_core/alternating/engine.hpp"
#include "native.hpp"

namespace bmf_native {

using boolmat::BitMatrix;
using boolmat::BitView;
using boolmat::BitViewMut;
using boolmat::Word;

void ensure_numpy() { pyrt::ensure_numpy(g_module); }

std::uint64_t u64_arg(PyObject* obj, const char* name) {
    try {
        return pyrt::convert_arg(name, [&] { return pyrt::to_u64(obj); });
    } catch (const pyrt::PythonError&) {
        pyrt::prefix_error(PyExc_OverflowError, name);
        throw;
    }
}

std::uint64_t positive_arg(PyObject* obj, const char* name) {
    const std::uint64_t v = u64_arg(obj, name);
    if (v == 0) pyrt::raise(PyExc_ValueError, cat(name, " must be at least 1, got 0"));
    return v;
}

bmf::MethodChoice method_arg(PyObject* obj) {
    const std::string name = pyrt::convert_arg("method", [&] { return pyrt::to_utf8(obj); });
    const auto parsed = bmf::MethodChoice::parse(name);
    if (!parsed)
        pyrt::raise(PyExc_ValueError, cat("method must be one of ", bmf::joined_choice_names(),
                                          ", not '", name, "'"));
    return *parsed;
}

bmf::Costs costs_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return {};
    if (!PyTuple_Check(obj) || PyTuple_Size(obj) != 2) {
        pyrt::raise(PyExc_TypeError,
                    cat("costs must be a tuple (false_one, false_zero) or None, not ",
                        pyrt::type_qualname(obj)));
    }
    const auto cost = [&](Py_ssize_t k, const char* name) {
        PyObject* item = PyTuple_GetItem(obj, k);
        return item == Py_None ? bmf::kInfiniteCost : u64_arg(item, name);
    };
    const std::uint64_t false_one = cost(0, "false_one");
    const std::uint64_t false_zero = cost(1, "false_zero");
    const auto costs = bmf::Costs::of(false_one, false_zero);
    if (!costs) {
        pyrt::raise(PyExc_ValueError, cat("costs: ", bmf::Costs::problem(false_one, false_zero)));
    }
    return *costs;
}

PyArrayObject* array_arg(PyObject* obj, const char* name) {
    ensure_numpy();
    if (!PyArray_Check(obj)) {
        pyrt::raise(PyExc_TypeError,
                    cat(name, " must be a numpy.ndarray, not ", pyrt::type_qualname(obj)));
    }
    return reinterpret_cast<PyArrayObject*>(obj);
}

namespace {

// The dtype of `array` as text ("int64", "float32", ...).
std::string dtype_name(PyArrayObject* array) {
    return pyrt::str_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
}

}  // namespace

PyArrayObject* words_arg(PyObject* obj, const char* name) {
    PyArrayObject* array = array_arg(obj, name);
    Ref uint64 = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UINT64)));
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(uint64.get()))) {
        pyrt::raise(PyExc_TypeError, cat(name, " must have dtype uint64 (native byte order), not ",
                                         dtype_name(array)));
    }
    if (PyArray_NDIM(array) != 2) {
        pyrt::raise(PyExc_ValueError,
                    cat(name, " must be two-dimensional (rows, words per row), not ",
                        PyArray_NDIM(array), "-dimensional"));
    }
    if (PyArray_DIM(array, 0) == 0 || PyArray_DIM(array, 1) == 0) {
        pyrt::raise(PyExc_ValueError,
                    cat(name, " must have at least one row and one word per row, not shape (",
                        PyArray_DIM(array, 0), ", ", PyArray_DIM(array, 1), ")"));
    }
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
        pyrt::raise(
            PyExc_ValueError,
            cat(name, " must be C-contiguous and aligned (numpy.ascontiguousarray makes it so)"));
    }
    return array;
}

void check_spare_bits(BitView view, const char* name) {
    const Word spare = ~boolmat::row_mask(view.cols());
    if (spare == 0) return;
    const std::size_t last = view.row_words() - 1;
    for (std::size_t i = 0; i < view.rows(); ++i) {
        if ((view.row(i)[last] & spare) != 0) {
            pyrt::raise(PyExc_ValueError, cat(name, ": row ", i, " has bits set beyond column ",
                                              view.cols() - 1, " (the spare bits must be zero)"));
        }
    }
}

namespace {

// The view of a words_arg array whose row width matches `cols`.
BitView matching_view(PyArrayObject* array, const char* name, std::uint64_t cols) {
    const std::size_t words = boolmat::words_for(cols);
    const auto width = static_cast<std::size_t>(PyArray_DIM(array, 1));
    if (width != words) {
        pyrt::raise(PyExc_ValueError, cat(name, " must have ceil(cols / 64) = ", words,
                                          " words per row for ", cols, " columns, not ", width));
    }
    return BitView(static_cast<const Word*>(PyArray_DATA(array)),
                   static_cast<std::size_t>(PyArray_DIM(array, 0)), cols, width);
}

}  // namespace

BitView packed_arg(PyObject* obj, const char* name, std::uint64_t cols) {
    const BitView view = matching_view(words_arg(obj, name), name, cols);
    check_spare_bits(view, name);
    return view;
}

BitViewMut packed_out_arg(PyObject* obj, const char* name, std::uint64_t rows, std::uint64_t cols) {
    PyArrayObject* array = words_arg(obj, name);
    const BitView view = matching_view(array, name, cols);
    if (view.rows() != rows) {
        pyrt::raise(PyExc_ValueError, cat(name, " must have ", rows, " rows, not ", view.rows()));
    }
    if (!PyArray_ISWRITEABLE(array)) pyrt::raise(PyExc_ValueError, cat(name, " must be writable"));
    return BitViewMut(static_cast<Word*>(PyArray_DATA(array)), view.rows(), view.cols(),
                      view.stride());
}

// ---------------------------------------------------------------------------
// Results

namespace {

constexpr const char* kOwnerName = "quorbmf._native words";

void free_owner(PyObject* capsule) {
    delete static_cast<BitMatrix*>(PyCapsule_GetPointer(capsule, kOwnerName));
}

}  // namespace

Ref words_array(BitMatrix m) {
    ensure_numpy();
    auto owned = std::make_unique<BitMatrix>(std::move(m));
    npy_intp dims[2] = {static_cast<npy_intp>(owned->rows()),
                        static_cast<npy_intp>(owned->stride())};
    Word* data = owned->words_mut().data();
    Ref owner = pyrt::own(PyCapsule_New(owned.get(), kOwnerName, free_owner));
    owned.release();
    Ref array = pyrt::own(PyArray_New(&PyArray_Type, 2, dims, NPY_UINT64, nullptr, data, 0,
                                      NPY_ARRAY_CARRAY, nullptr));
    // Steals the owner, also on failure.
    pyrt::check_status(
        PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
    return array;
}

BitMatrix owned_copy(BitView view) {
    BitMatrix m = BitMatrix::zeros(view.rows(), view.cols());
    Word* out = m.words_mut().data();
    if (view.contiguous()) {
        std::memcpy(out, view.data(), view.rows() * view.row_words() * sizeof(Word));
    } else {
        for (std::size_t i = 0; i < view.rows(); ++i)
            std::memcpy(out + i * m.stride(), view.row(i).data(), view.row_words() * sizeof(Word));
    }
    return m;
}

}  // namespace bmf_native

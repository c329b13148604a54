// The conversions of the Python class BitMatrix: nested lists of 0/1 ints
// (from_list, to_list) and two-dimensional NumPy bool arrays (from_numpy,
// to_numpy). Lists go cell by cell through the core get/set; arrays are read
// through their strides, with faster paths when the cells of a row (or of a
// column) are adjacent bytes: those are packed 16 cells per step.
#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "boolmat/bytes.hpp"
#include "matrix.hpp"
#include "numpy_api.hpp"

namespace bmf_py {

using boolmat::BitMatrix;
using boolmat::Word;

namespace {

// ---------------------------------------------------------------------------
// Lists

// Calls each(item) for every element of `seq`, which must be a sequence other
// than a str.
template <class F>
void for_each_element(PyObject* seq, F&& each) {
    if (PyUnicode_Check(seq)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(seq)) raise_mismatch(seq, "Sequence");
    Ref iterator = own(PyObject_GetIter(seq));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
    if (PyErr_Occurred()) throw PythonError{};
}

using IntRows = std::vector<std::vector<std::int64_t>>;

// The whole input as rows of signed 64-bit integers, before any check of the
// values or lengths, so the Python object is traversed exactly once.
IntRows extract_rows(PyObject* data) {
    IntRows rows;
    for_each_element(data, [&](PyObject* row) {
        std::vector<std::int64_t>& values = rows.emplace_back();
        for_each_element(row, [&](PyObject* cell) { values.push_back(to_i64(cell)); });
    });
    return rows;
}

// Checks row by row (length, then values) and builds the matrix.
BitMatrix matrix_from_rows(const IntRows& rows) {
    if (rows.empty()) raise(PyExc_ValueError, "from_list : aucune ligne fournie");
    const std::size_t cols = rows[0].size();
    if (cols == 0) raise(PyExc_ValueError, "from_list : les lignes sont vides");
    for (std::size_t k = 0; k < rows.size(); ++k) {
        if (rows[k].size() != cols) {
            raise(PyExc_ValueError, cat("from_list : la ligne ", k, " a ", rows[k].size(),
                                        " elements, la ligne 0 en a ", cols));
        }
        for (std::size_t j = 0; j < cols; ++j) {
            const std::int64_t v = rows[k][j];
            if (v != 0 && v != 1) {
                raise(PyExc_ValueError, cat("from_list : valeur ", v, " en (", k, ", ", j,
                                            ") ; seuls 0 et 1 sont admis"));
            }
        }
    }
    BitMatrix m = BitMatrix::zeros(rows.size(), cols);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            if (rows[i][j] == 1) m.set(i, j, true);
        }
    }
    return m;
}

// ---------------------------------------------------------------------------
// Byte packing for NumPy arrays

// Packs `cols` cell bytes lying `step` bytes apart into the words of one row.
void pack_row_strided(const unsigned char* cells, npy_intp step, std::size_t cols, Word* out) {
    for (std::size_t j = 0; j < cols; ++j) {
        if (cells[static_cast<npy_intp>(j) * step] == 1)
            out[boolmat::word_of(j)] |= Word{1} << boolmat::bit_of(j);
    }
}

constexpr const char* kBufferName = "QuorBMF.to_numpy buffer";

// The base object's destructor: releases the array's buffer.
void free_buffer(PyObject* keeper) { std::free(PyCapsule_GetPointer(keeper, kBufferName)); }

PyBitMatrix* as_matrix(PyObject* obj) { return reinterpret_cast<PyBitMatrix*>(obj); }

}  // namespace

PyObject* bitmatrix_from_list(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.from_list()", {"data"}, 1};
        PyObject* argv[1];
        bind_args(sig, args, kwargs, argv);
        const IntRows rows = convert_arg("data", [&] { return extract_rows(argv[0]); });
        return wrap_matrix(matrix_from_rows(rows));
    });
}

PyObject* bitmatrix_to_list(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.to_list()", {}, 0};
        bind_args(sig, args, kwargs, nullptr);
        auto use = SharedUse::acquire(as_matrix(self)->flag);
        const BitMatrix& m = as_matrix(self)->value;
        Ref zero = own(PyLong_FromLong(0));
        Ref one = own(PyLong_FromLong(1));
        Ref outer = own(PyList_New(static_cast<Py_ssize_t>(m.rows())));
        for (std::size_t i = 0; i < m.rows(); ++i) {
            Ref row = own(PyList_New(static_cast<Py_ssize_t>(m.cols())));
            for (std::size_t j = 0; j < m.cols(); ++j) {
                PyObject* cell = m.get(i, j) ? one.get() : zero.get();
                Py_INCREF(cell);
                check_status(PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j), cell));
            }
            check_status(PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), row.release()));
        }
        return outer;
    });
}

PyObject* bitmatrix_from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.from_numpy()", {"a"}, 1};
        PyObject* argv[1];
        bind_args(sig, args, kwargs, argv);
        ensure_numpy();
        PyArrayObject* array = convert_arg("a", [&] { return require_bool_array(argv[0], 2); });
        const npy_intp rows = PyArray_DIM(array, 0);
        const npy_intp cols = PyArray_DIM(array, 1);
        require_matrix_dimensions(static_cast<std::uint64_t>(rows),
                                  static_cast<std::uint64_t>(cols));

        const auto* data = reinterpret_cast<const unsigned char*>(PyArray_BYTES(array));
        const npy_intp row_step = PyArray_STRIDE(array, 0);
        const npy_intp col_step = PyArray_STRIDE(array, 1);
        if (row_step == 1 && col_step != 1 && rows > 1) {
            // Columns of adjacent bytes (Fortran order, transposed views):
            // pack them as the rows of the transpose, then transpose back.
            BitMatrix t =
                BitMatrix::zeros(static_cast<std::size_t>(cols), static_cast<std::size_t>(rows));
            for (npy_intp j = 0; j < cols; ++j) {
                boolmat::pack_bytes(
                    data + j * col_step, static_cast<std::size_t>(rows),
                    t.words_mut().data() + static_cast<std::size_t>(j) * t.stride());
            }
            return wrap_matrix(t.transpose());
        }
        BitMatrix m =
            BitMatrix::zeros(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols));
        Word* out = m.words_mut().data();
        const std::size_t stride = m.stride();
        for (npy_intp i = 0; i < rows; ++i) {
            const unsigned char* row = data + i * row_step;
            Word* row_out = out + static_cast<std::size_t>(i) * stride;
            if (col_step == 1)
                boolmat::pack_bytes(row, static_cast<std::size_t>(cols), row_out);
            else
                pack_row_strided(row, col_step, static_cast<std::size_t>(cols), row_out);
        }
        return wrap_matrix(std::move(m));
    });
}

PyObject* bitmatrix_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.to_numpy()", {}, 0};
        bind_args(sig, args, kwargs, nullptr);
        auto use = SharedUse::acquire(as_matrix(self)->flag);
        ensure_numpy();
        const BitMatrix& m = as_matrix(self)->value;
        const std::size_t rows = m.rows();
        const std::size_t cols = m.cols();
        std::size_t size = 0;
        if (__builtin_mul_overflow(rows, cols, &size)) throw std::bad_alloc();

        // Every byte is written below, so the buffer needs no zero fill.
        auto* buffer = static_cast<unsigned char*>(std::malloc(size));
        if (buffer == nullptr) throw std::bad_alloc();
        Ref keeper = Ref::steal(PyCapsule_New(buffer, kBufferName, free_buffer));
        if (!keeper) {
            std::free(buffer);
            throw PythonError{};
        }
        for (std::size_t i = 0; i < rows; ++i)
            boolmat::unpack_bytes(m.row(i).data(), cols, buffer + i * cols);

        npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
        npy_intp strides[2] = {static_cast<npy_intp>(cols), 1};
        Ref array = own(PyArray_New(&PyArray_Type, 2, dims, NPY_BOOL, strides, buffer, 1,
                                    NPY_ARRAY_CARRAY, nullptr));
        // Steals the keeper, also on failure.
        check_status(
            PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), keeper.release()));
        return array;
    });
}

}  // namespace bmf_py

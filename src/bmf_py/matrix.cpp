// The Python class BitMatrix (PyBitMatrix): construction, properties, cell
// indexing, equality and hashing, the operators, counts and the text forms.
// Every entry binds and checks its Python arguments, takes the use flags it
// needs, and then hands the work to the core boolmat::BitMatrix, whose own
// precondition checks are therefore never reached from Python. The list and
// NumPy conversions are in matrix_convert.cpp.
#include "matrix.hpp"

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "boolmat/text.hpp"
#include "siphash.hpp"

namespace bmf_py {

using boolmat::BitMatrix;

namespace {

PyTypeObject* g_bitmatrix_type = nullptr;

PyBitMatrix* as_matrix(PyObject* obj) { return reinterpret_cast<PyBitMatrix*>(obj); }

Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// Raises the shape-mismatch ValueError of the element-wise operations.
void check_same_shape(const BitMatrix& self, const BitMatrix& other, const char* label) {
    if (self.rows() != other.rows() || self.cols() != other.cols()) {
        raise(PyExc_ValueError, cat(label, " : dimensions incompatibles ", self.rows(), "x",
                                    self.cols(), " et ", other.rows(), "x", other.cols()));
    }
}

// ---------------------------------------------------------------------------
// Construction and lifetime

// Binds (rows, cols[, fill]) and builds the matrix. The conversions run in
// parameter order, so a bad fill is reported before a zero dimension.
Ref construct(const Signature& sig, PyObject* args, PyObject* kwargs, bool fill) {
    PyObject* argv[3] = {};
    bind_args(sig, args, kwargs, argv);
    const std::uint64_t rows = convert_arg("rows", [&] { return to_u64(argv[0]); });
    const std::uint64_t cols = convert_arg("cols", [&] { return to_u64(argv[1]); });
    if (argv[2] != nullptr) fill = convert_arg("fill", [&] { return to_strict_bool(argv[2]); });
    require_matrix_dimensions(rows, cols);
    return wrap_matrix(fill ? BitMatrix::ones(rows, cols) : BitMatrix::zeros(rows, cols));
}

PyObject* bitmatrix_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.__new__()", {"rows", "cols", "fill"}, 2};
        return construct(sig, args, kwargs, false);
    });
}

PyObject* bitmatrix_zeros(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.zeros()", {"rows", "cols"}, 2};
        return construct(sig, args, kwargs, false);
    });
}

PyObject* bitmatrix_ones(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.ones()", {"rows", "cols"}, 2};
        return construct(sig, args, kwargs, true);
    });
}

void bitmatrix_dealloc(PyObject* self) {
    PyBitMatrix* m = as_matrix(self);
    m->value.~BitMatrix();
    m->flag.~UseFlag();
    free_instance(self);
}

// ---------------------------------------------------------------------------
// Properties

SharedUse shared_use(PyObject* self) { return SharedUse::acquire(as_matrix(self)->flag); }

PyObject* get_shape(PyObject* self, void*) {
    return guard_ref([&] {
        auto use = shared_use(self);
        const BitMatrix& m = as_matrix(self)->value;
        Ref rows = py_u64(m.rows());
        Ref cols = py_u64(m.cols());
        return own(PyTuple_Pack(2, rows.get(), cols.get()));
    });
}

PyObject* get_rows(PyObject* self, void*) {
    return guard_ref([&] {
        auto use = shared_use(self);
        return py_u64(as_matrix(self)->value.rows());
    });
}

PyObject* get_cols(PyObject* self, void*) {
    return guard_ref([&] {
        auto use = shared_use(self);
        return py_u64(as_matrix(self)->value.cols());
    });
}

// ---------------------------------------------------------------------------
// Named methods

// Binds a method that takes no argument besides the receiver.
void bind_none(const char* display_name, PyObject* args, PyObject* kwargs) {
    const Signature sig{display_name, {}, 0};
    bind_args(sig, args, kwargs, nullptr);
}

PyObject* bitmatrix_count_ones(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        bind_none("BitMatrix.count_ones()", args, kwargs);
        auto use = shared_use(self);
        return py_u64(as_matrix(self)->value.count_ones());
    });
}

// Binds `other`, takes both matrices for reading and checks their shapes.
template <class Count>
Ref count_against(PyObject* self, PyObject* args, PyObject* kwargs, const char* display_name,
                  const char* label, Count count) {
    const Signature sig{display_name, {"other"}, 1};
    PyObject* argv[1];
    bind_args(sig, args, kwargs, argv);
    auto self_use = shared_use(self);
    PyBitMatrix* other = convert_arg("other", [&] { return require_bitmatrix(argv[0]); });
    auto other_use = SharedUse::acquire(other->flag);
    check_same_shape(as_matrix(self)->value, other->value, label);
    return py_u64(count(as_matrix(self)->value, other->value));
}

PyObject* bitmatrix_hamming(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        return count_against(self, args, kwargs, "BitMatrix.hamming()", "hamming",
                             [](const BitMatrix& a, const BitMatrix& b) { return a.hamming(b); });
    });
}

PyObject* bitmatrix_count_andnot(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        return count_against(
            self, args, kwargs, "BitMatrix.count_andnot()", "count_andnot",
            [](const BitMatrix& a, const BitMatrix& b) { return a.count_andnot(b); });
    });
}

PyObject* bitmatrix_transpose(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        bind_none("BitMatrix.transpose()", args, kwargs);
        auto use = shared_use(self);
        return wrap_matrix(as_matrix(self)->value.transpose());
    });
}

PyObject* bitmatrix_copy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        bind_none("BitMatrix.copy()", args, kwargs);
        auto use = shared_use(self);
        return wrap_matrix(BitMatrix(as_matrix(self)->value));
    });
}

PyObject* bitmatrix_row_count_ones(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const Signature sig{"BitMatrix.row_count_ones()", {"i"}, 1};
        PyObject* argv[1];
        bind_args(sig, args, kwargs, argv);
        auto use = shared_use(self);
        const std::uint64_t i = convert_arg("i", [&] { return to_u64(argv[0]); });
        const BitMatrix& m = as_matrix(self)->value;
        if (i >= m.rows())
            raise(PyExc_IndexError, cat("ligne ", i, " hors limites (rows = ", m.rows(), ")"));
        return py_u64(m.row_count_ones(i));
    });
}

// ---------------------------------------------------------------------------
// Indexing and the sequence protocol

struct CellIndex {
    std::uint64_t i;
    std::uint64_t j;
};

// idx must be a pair of unsigned sizes; TypeErrors name the argument "idx".
CellIndex convert_index(PyObject* idx) {
    return convert_arg("idx", [&] {
        if (!PyTuple_Check(idx)) raise_mismatch(idx, "PyTuple");
        const Py_ssize_t n = PyTuple_Size(idx);
        if (n != 2)
            raise(PyExc_ValueError, cat("expected tuple of length 2, but got tuple of length ", n));
        return CellIndex{to_u64(PyTuple_GetItem(idx, 0)), to_u64(PyTuple_GetItem(idx, 1))};
    });
}

void check_cell(const BitMatrix& m, CellIndex at) {
    if (at.i >= m.rows() || at.j >= m.cols()) {
        raise(PyExc_IndexError, cat("indice (", at.i, ", ", at.j,
                                    ") hors limites pour une matrice ", m.rows(), "x", m.cols()));
    }
}

PyObject* bitmatrix_subscript(PyObject* self, PyObject* key) {
    return guard_ref([&] {
        auto use = shared_use(self);
        const CellIndex at = convert_index(key);
        const BitMatrix& m = as_matrix(self)->value;
        check_cell(m, at);
        return py_bool(m.get(at.i, at.j));
    });
}

int bitmatrix_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return guard(-1, [&] {
        if (value == nullptr) raise(PyExc_NotImplementedError, "can't delete item");
        auto use = ExclusiveUse::acquire(as_matrix(self)->flag);
        const CellIndex at = convert_index(key);
        const bool bit = convert_arg("value", [&] { return to_strict_bool(value); });
        BitMatrix& m = as_matrix(self)->value;
        check_cell(m, at);
        m.set(at.i, at.j, bit);
        return 0;
    });
}

Py_ssize_t bitmatrix_length(PyObject* self) {
    return guard<Py_ssize_t>(-1, [&] {
        auto use = shared_use(self);
        return static_cast<Py_ssize_t>(as_matrix(self)->value.rows());
    });
}

// The sequence slots hand an integer position to the pair-only index
// operations, so iteration and `in` stop at once with their TypeError.
PyObject* bitmatrix_item(PyObject* self, Py_ssize_t position) {
    Ref key = Ref::steal(PyLong_FromSsize_t(position));
    if (!key) return nullptr;
    return bitmatrix_subscript(self, key.get());
}

int bitmatrix_ass_item(PyObject* self, Py_ssize_t position, PyObject* value) {
    Ref key = Ref::steal(PyLong_FromSsize_t(position));
    if (!key) return -1;
    return bitmatrix_ass_subscript(self, key.get(), value);
}

// ---------------------------------------------------------------------------
// Comparison and hashing

PyObject* bitmatrix_richcompare(PyObject* a, PyObject* b, int op) {
    return guard_ref([&]() -> Ref {
        if (op == Py_NE) {
            // The negation of a full equality comparison, fallbacks included.
            Ref equal = own(PyObject_RichCompare(a, b, Py_EQ));
            const int truth = PyObject_IsTrue(equal.get());
            check_status(truth);
            return py_bool(truth == 0);
        }
        if (op != Py_EQ || !is_bitmatrix(a) || !is_bitmatrix(b)) return not_implemented();
        auto use_a = SharedUse::try_acquire(as_matrix(a)->flag);
        if (!use_a) return not_implemented();
        auto use_b = SharedUse::try_acquire(as_matrix(b)->flag);
        if (!use_b) return not_implemented();
        return py_bool(as_matrix(a)->value == as_matrix(b)->value);
    });
}

// SipHash-1-3 under the all-zero key of the word count, the words, rows, cols
// and stride; recomputed on every call since the cells can change in place.
Py_hash_t bitmatrix_hash(PyObject* self) {
    return guard<Py_hash_t>(-1, [&] {
        auto use = shared_use(self);
        const BitMatrix& m = as_matrix(self)->value;
        SipHash13 hasher(0, 0);
        hasher.write_u64(m.words().size());
        for (const boolmat::Word w : m.words()) hasher.write_u64(w);
        hasher.write_u64(m.rows());
        hasher.write_u64(m.cols());
        hasher.write_u64(m.stride());
        const auto h = static_cast<Py_hash_t>(hasher.finish());
        return h == -1 ? Py_hash_t{-2} : h;
    });
}

// ---------------------------------------------------------------------------
// Operators

PyObject* bitmatrix_invert(PyObject* self) {
    return guard_ref([&] {
        auto use = shared_use(self);
        return wrap_matrix(as_matrix(self)->value.complement());
    });
}

using CombineAssign = void (BitMatrix::*)(const BitMatrix&);

// Shared uses of both operands of a binary operator, or nothing when either
// is not a BitMatrix or is held for writing (the operator then declines).
std::optional<std::pair<SharedUse, SharedUse>> read_operands(PyObject* a, PyObject* b) {
    if (!is_bitmatrix(a) || !is_bitmatrix(b)) return std::nullopt;
    auto use_a = SharedUse::try_acquire(as_matrix(a)->flag);
    if (!use_a) return std::nullopt;
    auto use_b = SharedUse::try_acquire(as_matrix(b)->flag);
    if (!use_b) return std::nullopt;
    return std::pair<SharedUse, SharedUse>(std::move(*use_a), std::move(*use_b));
}

// a OP b as a new matrix: one copy of a, then the in-place combination.
// Declines (NotImplemented) when either side is not a readable BitMatrix.
PyObject* binary_op(PyObject* a, PyObject* b, const char* label, CombineAssign combine) {
    return guard_ref([&]() -> Ref {
        auto uses = read_operands(a, b);
        if (!uses) return not_implemented();
        check_same_shape(as_matrix(a)->value, as_matrix(b)->value, label);
        BitMatrix result(as_matrix(a)->value);
        (result.*combine)(as_matrix(b)->value);
        return wrap_matrix(std::move(result));
    });
}

// a OP= b in a's own storage. Declines when a cannot be taken for writing or
// b for reading, which includes b being a itself; Python then falls back to
// the binary operator and rebinds the name.
PyObject* inplace_op(PyObject* a, PyObject* b, const char* label, CombineAssign combine) {
    return guard_ref([&]() -> Ref {
        if (!is_bitmatrix(a)) return not_implemented();
        auto use_a = ExclusiveUse::try_acquire(as_matrix(a)->flag);
        if (!use_a) return not_implemented();
        if (!is_bitmatrix(b)) return not_implemented();
        auto use_b = SharedUse::try_acquire(as_matrix(b)->flag);
        if (!use_b) return not_implemented();
        check_same_shape(as_matrix(a)->value, as_matrix(b)->value, label);
        (as_matrix(a)->value.*combine)(as_matrix(b)->value);
        return Ref::borrow(a);
    });
}

PyObject* bitmatrix_and(PyObject* a, PyObject* b) {
    return binary_op(a, b, "&", &BitMatrix::and_assign);
}
PyObject* bitmatrix_or(PyObject* a, PyObject* b) {
    return binary_op(a, b, "|", &BitMatrix::or_assign);
}
PyObject* bitmatrix_xor(PyObject* a, PyObject* b) {
    return binary_op(a, b, "^", &BitMatrix::xor_assign);
}
PyObject* bitmatrix_sub(PyObject* a, PyObject* b) {
    return binary_op(a, b, "-", &BitMatrix::andnot_assign);
}
PyObject* bitmatrix_ior(PyObject* a, PyObject* b) {
    return inplace_op(a, b, "|=", &BitMatrix::or_assign);
}
PyObject* bitmatrix_iand(PyObject* a, PyObject* b) {
    return inplace_op(a, b, "&=", &BitMatrix::and_assign);
}
PyObject* bitmatrix_ixor(PyObject* a, PyObject* b) {
    return inplace_op(a, b, "^=", &BitMatrix::xor_assign);
}

PyObject* bitmatrix_matmul(PyObject* a, PyObject* b) {
    return guard_ref([&]() -> Ref {
        auto uses = read_operands(a, b);
        if (!uses) return not_implemented();
        const BitMatrix& left = as_matrix(a)->value;
        const BitMatrix& right = as_matrix(b)->value;
        if (left.cols() != right.rows()) {
            raise(PyExc_ValueError, cat("@ : dimensions incompatibles ", left.rows(), "x",
                                        left.cols(), " et ", right.rows(), "x", right.cols()));
        }
        return wrap_matrix(boolmat::product(left, right));
    });
}

// ---------------------------------------------------------------------------
// Text

PyObject* bitmatrix_repr(PyObject* self) {
    return guard_ref([&] {
        auto use = shared_use(self);
        const BitMatrix& m = as_matrix(self)->value;
        const std::string text =
            cat("<BitMatrix ", m.rows(), "x", m.cols(), ", ", m.count_ones(), " bits a 1>");
        return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyObject* bitmatrix_str(PyObject* self) {
    return guard_ref([&] {
        auto use = shared_use(self);
        const std::string text = boolmat::to_string(as_matrix(self)->value);
        return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// ---------------------------------------------------------------------------
// The type

template <class F>
PyCFunction as_cfunction(F* f) {
    return QBMF_FUNCTION(f);
}

constexpr int kStatic = METH_VARARGS | METH_KEYWORDS | METH_STATIC;
constexpr int kMethod = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"zeros", as_cfunction(bitmatrix_zeros), kStatic, QBMF_SIGNATURE("zeros(rows, cols)")},
    {"ones", as_cfunction(bitmatrix_ones), kStatic, QBMF_SIGNATURE("ones(rows, cols)")},
    {"from_list", as_cfunction(bitmatrix_from_list), kStatic, QBMF_SIGNATURE("from_list(data)")},
    {"to_list", as_cfunction(bitmatrix_to_list), kMethod, QBMF_SIGNATURE("to_list($self)")},
    {"from_numpy", as_cfunction(bitmatrix_from_numpy), kStatic, QBMF_SIGNATURE("from_numpy(a)")},
    {"to_numpy", as_cfunction(bitmatrix_to_numpy), kMethod, QBMF_SIGNATURE("to_numpy($self)")},
    {"count_ones", as_cfunction(bitmatrix_count_ones), kMethod,
     QBMF_SIGNATURE("count_ones($self)")},
    {"hamming", as_cfunction(bitmatrix_hamming), kMethod, QBMF_SIGNATURE("hamming($self, other)")},
    {"count_andnot", as_cfunction(bitmatrix_count_andnot), kMethod,
     QBMF_SIGNATURE("count_andnot($self, other)")},
    {"transpose", as_cfunction(bitmatrix_transpose), kMethod, QBMF_SIGNATURE("transpose($self)")},
    {"copy", as_cfunction(bitmatrix_copy), kMethod, QBMF_SIGNATURE("copy($self)")},
    {"row_count_ones", as_cfunction(bitmatrix_row_count_ones), kMethod,
     QBMF_SIGNATURE("row_count_ones($self, i)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"rows", get_rows, nullptr, nullptr, nullptr},
    {"cols", get_cols, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(QBMF_SIGNATURE("BitMatrix(rows, cols, fill=False)"))},
    {Py_tp_new, reinterpret_cast<void*>(bitmatrix_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bitmatrix_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_repr, reinterpret_cast<void*>(bitmatrix_repr)},
    {Py_tp_str, reinterpret_cast<void*>(bitmatrix_str)},
    {Py_tp_hash, reinterpret_cast<void*>(bitmatrix_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(bitmatrix_richcompare)},
    {Py_mp_length, reinterpret_cast<void*>(bitmatrix_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(bitmatrix_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(bitmatrix_ass_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(bitmatrix_length)},
    {Py_sq_item, reinterpret_cast<void*>(bitmatrix_item)},
    {Py_sq_ass_item, reinterpret_cast<void*>(bitmatrix_ass_item)},
    {Py_nb_invert, reinterpret_cast<void*>(bitmatrix_invert)},
    {Py_nb_and, reinterpret_cast<void*>(bitmatrix_and)},
    {Py_nb_or, reinterpret_cast<void*>(bitmatrix_or)},
    {Py_nb_xor, reinterpret_cast<void*>(bitmatrix_xor)},
    {Py_nb_subtract, reinterpret_cast<void*>(bitmatrix_sub)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(bitmatrix_matmul)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(bitmatrix_ior)},
    {Py_nb_inplace_and, reinterpret_cast<void*>(bitmatrix_iand)},
    {Py_nb_inplace_xor, reinterpret_cast<void*>(bitmatrix_ixor)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "QuorBMF.BitMatrix", static_cast<int>(sizeof(PyBitMatrix)), 0, Py_TPFLAGS_DEFAULT, g_slots,
};

}  // namespace

// ---------------------------------------------------------------------------
// Helpers for the other entry points

PyTypeObject* bitmatrix_type() {
    if (g_bitmatrix_type == nullptr) g_bitmatrix_type = create_type(&g_spec);
    return g_bitmatrix_type;
}

bool is_bitmatrix(PyObject* obj) { return Py_TYPE(obj) == bitmatrix_type(); }

PyBitMatrix* require_bitmatrix(PyObject* obj) {
    if (!is_bitmatrix(obj)) raise_mismatch(obj, "BitMatrix");
    return as_matrix(obj);
}

Ref wrap_matrix(BitMatrix value) {
    PyObject* obj = alloc_instance(bitmatrix_type());
    PyBitMatrix* m = as_matrix(obj);
    new (&m->flag) UseFlag();
    new (&m->value) BitMatrix(std::move(value));
    return Ref::steal(obj);
}

void require_matrix_dimensions(std::uint64_t rows, std::uint64_t cols) {
    if (rows == 0 || cols == 0) {
        raise(PyExc_ValueError, cat("dimensions invalides ", rows, "x", cols,
                                    " : rows et cols doivent valoir au moins 1"));
    }
}

}  // namespace bmf_py

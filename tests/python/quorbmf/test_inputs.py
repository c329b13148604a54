"""quorbmf.as_packed and PackedMatrix: every input type users hold packs to the
same words, in every layout; bad inputs are named in plain English; a chunk
of rows packs as its rows of the whole; packed data converts both ways with
QuorBMF.BitMatrix."""
import numpy as np
import pytest
import scipy.sparse as sp

from QuorBMF import BitMatrix
from quorbmf import BooleanMF, PackedMatrix, as_packed, as_packed_observed

SHAPES = [(1, 1), (3, 63), (2, 64), (5, 65), (64, 129), (130, 7)]


def reference(shape, seed=0, density=0.4):
    return np.random.default_rng(seed).random(shape) < density


def assert_packs_to(x, cells):
    packed = as_packed(x)
    assert packed.shape == cells.shape
    assert np.array_equal(packed.to_numpy(), cells)
    assert packed == PackedMatrix.from_dense(cells)


class TestDense:
    @pytest.mark.parametrize("shape", SHAPES)
    @pytest.mark.parametrize("dtype", [bool, np.int8, np.uint8, np.int32, np.uint64, np.int64,
                                       np.float16, np.float32, np.float64])
    def test_every_dtype(self, shape, dtype):
        cells = reference(shape)
        assert_packs_to(cells.astype(dtype), cells)

    @pytest.mark.parametrize("shape", SHAPES)
    def test_every_layout(self, shape):
        cells = reference(shape, seed=1)
        big = np.zeros((shape[0] * 2 + 1, shape[1] * 3 + 2), dtype=np.int16)
        big[1::2, 2::3] = cells
        assert_packs_to(big[1::2, 2::3], cells)                      # strided
        assert_packs_to(np.asfortranarray(cells.astype(np.float32)), cells)
        assert_packs_to(np.ascontiguousarray(cells.T).T, cells)       # transposed view
        assert_packs_to(cells[::-1][::-1], cells)
        assert_packs_to(np.ascontiguousarray(cells[::-1])[::-1], cells)  # negative stride

    def test_lists_and_bitmatrix(self):
        cells = reference((7, 70), seed=2)
        assert_packs_to(cells.astype(int).tolist(), cells)
        matrix = BitMatrix.from_numpy(cells)
        packed = as_packed(matrix)
        assert np.array_equal(packed.to_numpy(), cells)
        assert packed.to_bitmatrix() == matrix
        assert PackedMatrix.from_bitmatrix(matrix) == packed

    def test_first_bad_cell_in_row_major_order(self):
        x = np.zeros((6, 90))
        x[4, 1] = 7
        x[2, 80] = -1
        with pytest.raises(ValueError, match=r"cell \(2, 80\) holds -1\.0"):
            as_packed(x)
        with pytest.raises(ValueError, match=r"cell \(2, 80\)"):
            as_packed(np.asfortranarray(x))
        x = np.zeros((3, 3))
        x[1, 1] = np.nan
        with pytest.raises(ValueError, match=r"cell \(1, 1\) holds NaN"):
            as_packed(x)

    def test_bad_values_beyond_the_first_chunk(self, monkeypatch):
        import quorbmf._input as inputs

        monkeypatch.setattr(inputs, "_CHUNK_CELLS", 64)
        x = np.ones((50, 10), dtype=np.int8)
        x[37, 4] = 2
        with pytest.raises(ValueError, match=r"cell \(37, 4\) holds 2"):
            as_packed(x)
        cells = reference((50, 10), seed=3)
        assert_packs_to(cells.astype(np.uint8), cells)

    @pytest.mark.parametrize("bad, error, words", [
        (np.zeros(5), ValueError, "must be 2-D"),
        (np.zeros((2, 2, 2)), ValueError, "must be 2-D"),
        (np.zeros((0, 4)), ValueError, "at least one row and one column"),
        (np.array([["a", "b"]]), TypeError, "bool, integer or float dtype"),
        (np.array([[1 + 0j]]), TypeError, "bool, integer or float dtype"),
        ("101", TypeError, "2-D array-like"),
        (None, TypeError, "2-D array-like"),
        (np.ma.masked_array(np.eye(2), mask=np.eye(2)), TypeError, "masked array"),
    ])
    def test_bad_inputs_are_named(self, bad, error, words):
        with pytest.raises(error, match=words):
            as_packed(bad)
        with pytest.raises(error, match=r"\bW\b"):
            as_packed(bad, name="W")


class TestSparse:
    FORMATS = ["csr", "csc", "coo", "lil", "dok", "bsr", "dia"]

    @pytest.mark.parametrize("fmt", FORMATS)
    @pytest.mark.parametrize("shape", SHAPES)
    def test_every_format(self, fmt, shape):
        cells = reference(shape, seed=4, density=0.1)
        assert_packs_to(sp.csr_matrix(cells.astype(np.float64)).asformat(fmt), cells)
        assert_packs_to(sp.csr_array(cells.astype(np.int8)).asformat(fmt), cells)

    def test_explicit_zeros_duplicates_and_unsorted_indices(self):
        # A cell holds the sum of its stored entries, as scipy reads it:
        # (0, 5) stores 2 and -1, (1, 2) stores 0 and 1.
        indptr = np.array([0, 4, 6])
        indices = np.array([5, 1, 5, 0, 2, 2])
        data = np.array([2, 0, -1, 1, 0, 1], dtype=np.int64)
        csr = sp.csr_matrix((data, indices, indptr), shape=(2, 70))
        cells = np.zeros((2, 70), dtype=bool)
        cells[0, [0, 5]] = True
        cells[1, 2] = True
        assert np.array_equal(csr.toarray(), cells)
        assert_packs_to(csr, cells)
        assert_packs_to(sp.csc_matrix((data, indices, indptr), shape=(70, 2)), cells.T)
        # Two stored 1s make a 2, in every format (the packer once ORed them).
        data = np.array([1, 0, 1, 1, 0, 1], dtype=np.int64)
        for x in (sp.csr_matrix((data, indices, indptr), shape=(2, 70)),
                  sp.csc_matrix((data, indices, indptr), shape=(70, 2)).T,
                  sp.csr_matrix((data, indices, indptr), shape=(2, 70)).tocoo()):
            with pytest.raises(ValueError, match=r"cell \(0, 5\) holds 2$"):
                as_packed(x)

    @pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
    def test_first_bad_cell_in_row_major_order(self, fmt):
        x = np.zeros((5, 80))
        x[3, 2] = 5
        x[1, 70] = 0.5
        with pytest.raises(ValueError, match=r"cell \(1, 70\) holds 0\.5"):
            as_packed(sp.csr_matrix(x).asformat(fmt))

    def test_estimator_gives_the_same_fit_for_sparse_and_dense(self):
        cells = reference((120, 90), seed=5, density=0.08)
        dense = BooleanMF(n_components=4, random_state=1).fit(cells)
        sparse = BooleanMF(n_components=4, random_state=1).fit(sp.csc_matrix(cells))
        assert np.array_equal(dense.components_, sparse.components_)


def _set_dok(x, key, value):
    # A cell written past the dok's own checks, as a dict entry.
    dict.__setitem__(getattr(x, "_dict", x), key, value)


# (format, corruption of a 4 x 5 identity-like matrix, what the message says)
CORRUPTIONS = [
    ("csc", lambda x: x.indices.__setitem__(0, 10**7), "indices hold 10000000, outside 0..3"),
    ("csc", lambda x: setattr(x, "indptr", x.indptr[:-1].copy()), "indptr has 5 entries"),
    ("csc", lambda x: x.indptr.__setitem__(-1, 2**31 - 1), "indptr ends at 2147483647"),
    ("csr", lambda x: x.indptr.__setitem__(0, 1), "indptr starts at 1"),
    ("csr", lambda x: x.indptr.__setitem__(2, 0), "indptr falls from 1 to 0"),
    ("csr", lambda x: x.indices.__setitem__(1, -1), "indices hold -1, outside 0..4"),
    ("csr", lambda x: setattr(x, "indices", x.indices.astype(float)), "dtype float64"),
    ("csr", lambda x: setattr(x, "data", x.data[:-1].copy()), "indices have 4 entries but"),
    ("bsr", lambda x: x.indices.__setitem__(0, 9), "indices hold 9"),
    ("coo", lambda x: x.row.__setitem__(0, 4), "row indices hold 4, outside 0..3"),
    ("coo", lambda x: setattr(x, "data", x.data[:-1].copy()), "4, 4 and 3 entries"),
    ("lil", lambda x: x.rows.__setitem__(1, [1, 9]), "row 1 has 2 indices but 1 values"),
    ("lil", lambda x: x.rows.__setitem__(1, [9]), "column indices hold 9"),
    ("dia", lambda x: setattr(x, "offsets", x.offsets[:0].copy()), "offsets"),
    ("dok", lambda x: _set_dok(x, (9, 0), 1.0), "row indices hold 9"),
]


def corrupt(fmt, spoil, dtype=np.float64):
    x = sp.csr_matrix(np.eye(4, 5, dtype=dtype)).asformat(fmt)
    spoil(x)
    return x


class TestSparseStructure:
    """A corrupt structure is named before anything reads through it
    (scipy's own conversions crash or allocate gigabytes on these)."""

    @pytest.mark.parametrize("fmt, spoil, words", CORRUPTIONS)
    def test_every_path_names_the_fault(self, fmt, spoil, words):
        from quorbmf._input import pack_observed

        words = "X is a malformed sparse matrix: .*" + words
        fitted = BooleanMF(n_components=1, random_state=0).fit(np.eye(4, 5))
        for call in (lambda x: as_packed(x),
                     lambda x: as_packed_observed(x),
                     lambda x: as_packed_observed(x, sparse_absent="missing"),
                     lambda x: as_packed_observed(x, mask=np.ones((4, 5), dtype=bool)),
                     lambda x: pack_observed(x, threshold=0.5, row_offset=64),
                     lambda x: BooleanMF(n_components=1).fit(x),
                     lambda x: BooleanMF(n_components=1, binarize=0.5).fit(x),
                     lambda x: BooleanMF(n_components=1, sparse_absent="missing").fit(x),
                     fitted.transform, fitted.score):
            with pytest.raises(ValueError, match=words):
                call(corrupt(fmt, spoil))
        with pytest.raises(ValueError, match=words.replace("X", "mask", 1)):
            BooleanMF(n_components=1).fit(np.eye(4, 5), mask=corrupt(fmt, spoil, bool))

    def test_sparse_arrays_and_masks(self):
        x = sp.csc_array(np.eye(4, 5))
        x.indices[0] = 10**7
        with pytest.raises(ValueError, match="malformed sparse matrix: its indices hold"):
            BooleanMF(n_components=1).fit(x)
        mask = sp.csr_array(np.eye(4, 5, dtype=bool) | True)
        model = BooleanMF(n_components=1, random_state=0)
        assert np.array_equal(model.fit_transform(np.eye(4, 5), mask=mask),
                              BooleanMF(n_components=1, random_state=0).fit_transform(
                                  np.eye(4, 5), mask=np.ones((4, 5), dtype=bool)))


def scattered(cells, rng, by_columns=False):
    """A CSR (or CSC) whose cells are split into shuffled stored entries
    that sum to their values: 1 as 1, 2 - 1 or 0.5 + 0.5, 0 as nothing, 0
    or 1 - 1."""
    major = cells.T if by_columns else cells
    parts = {0: [[], [0.0], [1.0, -1.0]], 1: [[1.0], [2.0, -1.0], [0.5, 0.5], [1.0, 0.0]]}
    indptr, indices, data = [0], [], []
    for line in major:
        entries = [(j, v) for j, c in enumerate(line)
                   for v in parts[int(c)][rng.integers(len(parts[int(c)]))]]
        rng.shuffle(entries)
        indices += [j for j, _ in entries]
        data += [v for _, v in entries]
        indptr.append(len(indices))
    kind = sp.csc_matrix if by_columns else sp.csr_matrix
    return kind((np.array(data), np.array(indices, dtype=np.int32), np.array(indptr)),
                shape=cells.shape)


class TestSparseDuplicates:
    """A cell holds what scipy says it holds: its stored entries summed."""

    @pytest.mark.parametrize("shape", SHAPES)
    def test_summed_in_every_format(self, shape):
        rng = np.random.default_rng(11)
        cells = reference(shape, seed=11, density=0.3)
        for x in (scattered(cells, rng), scattered(cells, rng, by_columns=True)):
            assert np.array_equal(x.toarray(), cells)
            entries = x.copy()
            entries.data[:] = 1
            for same in (x, x.tocoo()):
                assert_packs_to(same, cells)
                # A stored cell is observed, whatever its entries sum to.
                packed, stored = as_packed_observed(same, sparse_absent="missing")
                assert packed == PackedMatrix.from_dense(cells)
                every = entries.toarray() > 0
                # None when every cell is stored, as when every cell is observed.
                assert (stored is None if every.all() else
                        stored == PackedMatrix.from_dense(every))
        x = scattered(cells, rng)
        assert np.array_equal(
            BooleanMF(n_components=2, random_state=0).fit(x).components_,
            BooleanMF(n_components=2, random_state=0).fit(cells).components_)

    def test_repeated_ones_make_two(self):
        row, col = np.array([1, 0, 1]), np.array([2, 0, 2])
        for dtype in (np.int8, np.float32):
            coo = sp.coo_matrix((np.ones(3, dtype=dtype), (row, col)), shape=(2, 3))
            for x in (coo, sp.csr_matrix((coo.data, [0, 2, 2], [0, 1, 3]), shape=(2, 3))):
                with pytest.raises(ValueError, match=r"cell \(1, 2\) holds 2"):
                    BooleanMF(n_components=1).fit(x)
        # bool entries sum as scipy sums them: True + True is True.
        x = sp.csr_matrix((np.ones(3, dtype=bool), [0, 2, 2], [0, 1, 3]), shape=(2, 3))
        assert_packs_to(x, x.toarray())


class TestStoredCells:
    """With sparse_absent="missing", the stored cells are the observed ones."""

    def test_a_dia_stores_every_cell_of_its_diagonals(self):
        # Its zeros used to count as absent, unlike those of LIL, DOK and BSR.
        x = sp.dia_matrix((np.array([[1, 0, 1], [0, 1, 0]]), [0, 1]), shape=(3, 3))
        packed, stored = as_packed_observed(x, sparse_absent="missing")
        assert packed == PackedMatrix.from_dense(x.toarray().astype(bool))
        assert np.array_equal(stored.to_numpy(), [[1, 1, 0], [0, 1, 1], [0, 0, 1]])

    def test_storing_every_cell_is_no_mask(self):
        cells = reference((5, 7), seed=3)
        every = sp.coo_matrix((cells.ravel().astype(np.int8), np.nonzero(np.ones(cells.shape))),
                              shape=cells.shape)
        for x in (every, every.tocsr(), sp.csc_array(every)):
            assert as_packed_observed(x, sparse_absent="missing")[1] is None
        # One cell fewer: an observed-cells matrix again.
        assert as_packed_observed(every.tocsr()[:, :6], sparse_absent="missing")[1] is None
        fewer = every.tolil()
        fewer.rows[0].pop(0)
        fewer.data[0].pop(0)
        assert as_packed_observed(fewer, sparse_absent="missing")[1].count_ones() == 34


class TestDataFrames:
    def test_bool_and_int_columns_keep_names(self):
        pd = pytest.importorskip("pandas")
        cells = reference((40, 6), seed=6)
        frame = pd.DataFrame({f"c{j}": cells[:, j].astype(bool if j % 2 else int)
                              for j in range(6)})
        assert_packs_to(frame, cells)
        model = BooleanMF(n_components=2, random_state=0).fit(frame)
        assert list(model.feature_names_in_) == list(frame.columns)
        with pytest.warns(UserWarning, match="feature names"):
            model.transform(cells)

    def test_bad_cell_named_by_position(self):
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame({"a": [0, 1, 1], "b": [1, 2, 0]})
        with pytest.raises(ValueError, match=r"cell \(1, 1\) holds 2"):
            BooleanMF(n_components=1).fit(frame)


class TestText:
    """Text is no number, whatever it spells, in every container."""

    def containers(self):
        pd = pytest.importorskip("pandas")
        yield np.array([["1", "0"], ["0", "1"]], dtype=object)
        yield np.array([[1, " 1 "], [0, 1]], dtype=object)
        yield np.array([[1, b"0"], [0, 1]], dtype=object)
        yield np.array([[1, None], [np.str_("1"), 1]], dtype=object)
        yield [[1, "0"], [0, 1]]
        yield pd.DataFrame({"a": ["1", "0"], "b": [1, 0]})
        yield pd.DataFrame({"a": pd.array(["1", "0"], dtype="string"), "b": [1, 0]})

    @pytest.mark.filterwarnings("ignore:X has feature names")
    def test_refused_on_every_path(self):
        for x in self.containers():
            for call in (as_packed, as_packed_observed,
                         BooleanMF(n_components=1).fit,
                         BooleanMF(n_components=1, binarize=0.5).fit,
                         BooleanMF(n_components=1).fit(np.eye(2)).transform):
                with pytest.raises(TypeError, match="text|dtype"):
                    call(x)

    def test_numbers_held_as_objects_still_work(self):
        from decimal import Decimal
        from fractions import Fraction

        x = np.array([[1, 0.0, True, np.int8(1), Decimal(1), Fraction(0), None]], dtype=object)
        packed, seen = as_packed_observed(x)
        assert np.array_equal(packed.to_numpy(), [[1, 0, 1, 1, 1, 0, 0]])
        assert np.array_equal(seen.to_numpy(), [[1, 1, 1, 1, 1, 1, 0]])


class TestChunks:
    """The door a Dask worker uses for each chunk is the local one."""

    @pytest.mark.parametrize("kind", ["float-nan", "object-none", "masked", "mask", "binarize"])
    def test_chunks_pack_as_their_rows_of_the_whole(self, kind):
        from quorbmf._input import pack_observed

        rng = np.random.default_rng(9)
        cells = reference((200, 70), seed=9)
        x, mask, threshold = cells.astype(float), None, None
        if kind == "float-nan":
            x[rng.random(x.shape) < 0.1] = np.nan
        elif kind == "object-none":
            x = x.astype(object)
            x[rng.random(x.shape) < 0.1] = None
        elif kind == "masked":
            x = np.ma.masked_array(x, mask=rng.random(x.shape) < 0.1)
        elif kind == "mask":
            mask = rng.random(x.shape) > 0.1
        else:
            x, threshold = x * 0.7 + rng.random(x.shape) * 0.2, 0.5
        whole, seen = pack_observed(x, mask, threshold=threshold)
        assert seen is not None or kind == "binarize"
        for b, e in [(0, 64), (64, 64), (64, 199), (199, 200)]:
            part, part_seen = pack_observed(x[b:e], None if mask is None else mask[b:e],
                                            threshold=threshold, row_offset=b)
            assert part.shape == (e - b, 70)
            assert np.array_equal(part.words, whole.words[b:e])
            if seen is not None and e > b:
                assert np.array_equal(part_seen.words, seen.words[b:e])

    def test_bad_cell_named_by_its_row_in_the_whole(self):
        from quorbmf._input import pack_observed

        x = reference((200, 70), seed=10).astype(np.int8)
        x[150, 33] = 3
        with pytest.raises(ValueError, match=r"cell \(150, 33\) holds 3"):
            pack_observed(x[128:192], row_offset=128)


class TestPackedMatrix:
    def test_checks_its_words(self):
        with pytest.raises(ValueError, match="ceil"):
            PackedMatrix(np.zeros((2, 2), dtype=np.uint64), 64)
        with pytest.raises(ValueError, match="beyond the last column"):
            PackedMatrix(np.full((2, 1), 8, dtype=np.uint64), 3)
        with pytest.raises(ValueError, match="at least one row"):
            PackedMatrix(np.zeros((0, 1), dtype=np.uint64), 3)

    def test_words_are_integers(self):
        # Floats were cast silently (0.9 became an empty word), and a
        # negative int8 became a word of 64 ones.
        with pytest.raises(TypeError, match="integers"):
            PackedMatrix(np.array([[0.9]]), 1)
        with pytest.raises(TypeError, match="integers"):
            PackedMatrix(np.array([[True]]), 1)
        with pytest.raises(ValueError, match="negative"):
            PackedMatrix(np.array([[-1]], dtype=np.int8), 64)
        for words in ([[0.5]], [[-1]], [[2**64]], [[True]]):
            with pytest.raises((TypeError, ValueError), match="words"):
                PackedMatrix(words, 64)
        # Python ints are read exactly, large ones too.
        assert PackedMatrix([[5, 2**63 + 1]], 128) == PackedMatrix(
            np.array([[5, 2**63 + 1]], dtype=np.uint64), 128)
        # 64-bit signed words are bit patterns, the same as their uint64 view.
        signed = np.array([[-1, 5]], dtype=np.int64)
        assert PackedMatrix(signed, 128) == PackedMatrix(signed.view(np.uint64), 128)

    def test_transpose_count_and_pickle(self):
        import pickle

        cells = reference((65, 130), seed=7)
        packed = as_packed(cells)
        assert np.array_equal(packed.T.to_numpy(), cells.T)
        assert packed.count_ones() == int(cells.sum())
        assert pickle.loads(pickle.dumps(packed)) == packed
        assert np.array_equal(packed.row_block(3, 9).to_numpy(), cells[3:9])

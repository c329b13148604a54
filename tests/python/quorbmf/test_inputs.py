"""quorbmf.as_packed and PackedMatrix: every input type users hold packs to the
same words, in every layout; bad inputs are named in plain English; a chunk
of rows packs as its rows of the whole; packed data converts both ways with
QuorBMF.BitMatrix."""
import numpy as np
import pytest
import scipy.sparse as sp

from QuorBMF import BitMatrix
from quorbmf import BooleanMF, PackedMatrix, as_packed

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

    def test_transpose_count_and_pickle(self):
        import pickle

        cells = reference((65, 130), seed=7)
        packed = as_packed(cells)
        assert np.array_equal(packed.T.to_numpy(), cells.T)
        assert packed.count_ones() == int(cells.sum())
        assert pickle.loads(pickle.dumps(packed)) == packed
        assert np.array_equal(packed.row_block(3, 9).to_numpy(), cells[3:9])

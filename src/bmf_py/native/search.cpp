// The class Search of quorbmf._native: the core's Polisher over a private
// copy of X, a TilePool, and chains of moves (bmf::SearchChain) that the
// caller runs for a number of moves at a time, side by side from several
// threads if it likes, handing their tiles over to the pool between runs.
// Every long call runs with the interpreter lock released and stops on a
// StopFlag. Runs of different chains share the pool; a change of the pool
// or of the list of chains waits until no run is under way, and a chain run
// from two threads at once is refused.
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "bmf_core/alternating/engine.hpp"
#include "bmf_core/search/chain.hpp"
#include "bmf_core/wide/wide_refit.hpp"
#include "native.hpp"

namespace bmf_native {

namespace {

using boolmat::BitMatrix;
using boolmat::BitView;

struct SearchState {
    SearchState(BitView x, std::optional<BitView> mask, bmf::PolishStep step,
                const bmf::Costs& costs, std::size_t capacity)
        : polisher(x, mask, step, costs), pool(x.rows(), x.cols(), capacity) {}

    bmf::Polisher polisher;
    bmf::TilePool pool;
    std::vector<std::unique_ptr<bmf::SearchChain>> chains;
    std::deque<std::mutex> running;  // one per chain, held while it runs
    std::shared_mutex changes;       // shared by runs, exclusive for changes
};

struct PySearch {
    PyObject_HEAD SearchState* state;  // owned
};

SearchState& state_of(PyObject* self) { return *reinterpret_cast<PySearch*>(self)->state; }

std::size_t count_arg(PyObject* obj, const char* name) {
    return static_cast<std::size_t>(u64_arg(obj, name));
}

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{
            "Search.__new__()",
            {"x", "cols", "method", "refit_width", "mask", "capacity", "costs"},
            3};
        PyObject* argv[7] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        const std::uint64_t cols = positive_arg(argv[1], "cols");
        const BitView x = packed_arg(argv[0], "x", cols);
        bmf::PolishStep step{method_arg(argv[2]), 0};
        if (argv[3] != nullptr) step.refit_width = count_arg(argv[3], "refit_width");
        if (step.refit_width > bmf::kMaxRefitBlock) {
            pyrt::raise(PyExc_ValueError, cat("refit_width must be at most ", bmf::kMaxRefitBlock,
                                              ", not ", step.refit_width));
        }
        std::optional<BitView> mask;
        if (argv[4] != nullptr && argv[4] != Py_None) {
            mask = packed_arg(argv[4], "mask", cols);
            if (mask->rows() != x.rows()) {
                pyrt::raise(PyExc_ValueError,
                            cat("mask must have the ", x.rows(), " rows of x, not ", mask->rows()));
            }
        }
        const std::size_t capacity = argv[5] == nullptr ? 256 : positive_arg(argv[5], "capacity");
        const bmf::Costs costs = costs_arg(argv[6]);
        auto state = pyrt::without_gil(
            [&] { return std::make_unique<SearchState>(x, mask, step, costs, capacity); });
        Ref self = Ref::steal(pyrt::alloc_instance(type));
        reinterpret_cast<PySearch*>(self.get())->state = state.release();
        return self;
    });
}

void search_dealloc(PyObject* self) {
    delete reinterpret_cast<PySearch*>(self)->state;
    pyrt::free_instance(self);
}

// W (m x r) and Hᵀ (n x r) from the arguments w, ht and r, copied.
std::pair<BitMatrix, BitMatrix> factor_args(const SearchState& s, PyObject* w_obj, PyObject* ht_obj,
                                            PyObject* r_obj) {
    const std::uint64_t r = positive_arg(r_obj, "r");
    const BitView w = packed_arg(w_obj, "w", r);
    const BitView ht = packed_arg(ht_obj, "ht", r);
    if (w.rows() != s.polisher.rows())
        pyrt::raise(PyExc_ValueError,
                    cat("w must have the ", s.polisher.rows(), " rows of x, not ", w.rows()));
    if (ht.rows() != s.polisher.cols())
        pyrt::raise(PyExc_ValueError, cat("ht must have the ", s.polisher.cols(),
                                          " columns of x as rows, not ", ht.rows()));
    return {owned_copy(w), owned_copy(ht)};
}

std::size_t chain_arg(const SearchState& s, PyObject* obj) {
    const std::size_t k = count_arg(obj, "chain");
    if (k >= s.chains.size())
        pyrt::raise(PyExc_IndexError,
                    cat("chain ", k, " out of range (", s.chains.size(), " chains)"));
    return k;
}

PyObject* search_add_chain(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Search.add_chain()", {"w", "ht", "r", "seed", "stop"}, 4};
        PyObject* argv[5] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        SearchState& s = state_of(self);
        auto [w, ht] = factor_args(s, argv[0], argv[1], argv[2]);
        check_method_at_rank(s.polisher.step().choice, w.cols(), s.polisher.masked());
        const std::uint64_t seed = u64_arg(argv[3], "seed");
        const bmf::Cancel cancel = stop_arg(argv[4]);
        const std::size_t index = run_stoppable([&] {
            bmf::Factors start{std::move(w), std::move(ht), 0};
            start.error = s.polisher.error_of(start.w.view(), start.ht.view());
            auto chain = std::make_unique<bmf::SearchChain>(s.polisher, std::move(start), seed,
                                                            bmf::ChainOptions{}, cancel);
            const std::unique_lock lock(s.changes);
            s.chains.push_back(std::move(chain));
            s.running.emplace_back();
            return s.chains.size() - 1;
        });
        return pyrt::py_u64(index);
    });
}

PyObject* search_add_tiles(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Search.add_tiles()", {"w", "ht", "r"}, 3};
        PyObject* argv[3] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        SearchState& s = state_of(self);
        const auto [w, ht] = factor_args(s, argv[0], argv[1], argv[2]);
        pyrt::without_gil([&] {
            const std::unique_lock lock(s.changes);
            s.pool.add_factors(w.view(), ht.view());
        });
        return Ref::borrow(Py_None);
    });
}

PyObject* search_run(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Search.run()", {"chain", "moves", "stop", "seconds"}, 2};
        PyObject* argv[4] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        SearchState& s = state_of(self);
        const std::size_t k = chain_arg(s, argv[0]);
        const std::size_t moves = count_arg(argv[1], "moves");
        const bmf::Cancel cancel = stop_arg(argv[2]);
        std::optional<std::chrono::steady_clock::time_point> deadline;
        if (argv[3] != nullptr && argv[3] != Py_None) {
            const double seconds = PyFloat_AsDouble(argv[3]);
            if (seconds == -1.0 && PyErr_Occurred() != nullptr) throw pyrt::PythonError{};
            if (!(seconds >= 0.0 && seconds < 1e9))
                pyrt::raise(PyExc_ValueError,
                            cat("seconds must be between 0 and 1e9, not ", pyrt::str_of(argv[3])));
            deadline = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
        }
        bool busy = false;
        const std::vector<bmf::SearchEvent> events = run_stoppable([&] {
            const std::shared_lock lock(s.changes);
            std::unique_lock alone(s.running[k], std::try_to_lock);
            if (!alone.owns_lock()) {
                busy = true;
                return std::vector<bmf::SearchEvent>{};
            }
            return s.chains[k]->run(moves, s.pool, cancel, deadline);
        });
        if (busy) pyrt::raise(PyExc_RuntimeError, cat("chain ", k, " is already running"));
        Ref out = pyrt::own(PyList_New(static_cast<Py_ssize_t>(events.size())));
        for (std::size_t e = 0; e < events.size(); ++e) {
            const std::string kind(bmf::move_name(events[e].kind));
            Ref item =
                pyrt::own(Py_BuildValue("(KKsn)", static_cast<unsigned long long>(events[e].move),
                                        static_cast<unsigned long long>(events[e].error),
                                        kind.c_str(), static_cast<Py_ssize_t>(events[e].tiles)));
            pyrt::check_status(
                PyList_SetItem(out.get(), static_cast<Py_ssize_t>(e), item.release()));
        }
        return out;
    });
}

PyObject* search_hand_over(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Search.hand_over()", {"chain"}, 1};
        PyObject* argv[1] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        SearchState& s = state_of(self);
        const std::size_t k = chain_arg(s, argv[0]);
        pyrt::without_gil([&] {
            const std::unique_lock lock(s.changes);
            s.chains[k]->hand_over(s.pool);
        });
        return Ref::borrow(Py_None);
    });
}

PyObject* search_best(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_ref([&] {
        static const pyrt::Signature sig{"Search.best()", {"chain"}, 1};
        PyObject* argv[1] = {};
        pyrt::bind_args(sig, args, kwargs, argv);
        SearchState& s = state_of(self);
        const std::size_t k = chain_arg(s, argv[0]);
        std::optional<bmf::Factors> best;
        std::uint64_t moves = 0, iterations = 0;
        pyrt::without_gil([&] {
            const std::shared_lock lock(s.changes);
            const std::lock_guard alone(s.running[k]);
            best = s.chains[k]->best();
            moves = s.chains[k]->moves();
            iterations = s.chains[k]->polish_iterations();
        });
        const Ref w = words_array(std::move(best->w));
        const Ref ht = words_array(std::move(best->ht));
        const Ref error = pyrt::py_u64(best->error);
        const Ref done = pyrt::py_u64(moves);
        const Ref polished = pyrt::py_u64(iterations);
        return pyrt::own(
            PyTuple_Pack(5, w.get(), ht.get(), error.get(), done.get(), polished.get()));
    });
}

PyObject* search_get_chains(PyObject* self, void*) {
    return guard_ref([&] {
        SearchState& s = state_of(self);
        std::size_t count = 0;
        pyrt::without_gil([&] {
            const std::shared_lock lock(s.changes);
            count = s.chains.size();
        });
        return pyrt::py_u64(count);
    });
}

PyObject* search_get_pool_size(PyObject* self, void*) {
    return guard_ref([&] {
        SearchState& s = state_of(self);
        std::size_t size = 0;
        pyrt::without_gil([&] {
            const std::shared_lock lock(s.changes);
            size = s.pool.size();
        });
        return pyrt::py_u64(size);
    });
}

PyMethodDef g_search_methods[] = {
    {"add_chain", PYRT_FUNCTION(search_add_chain), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE(
         "add_chain($self, w, ht, r, seed, stop=None)") "Adds a chain from the packed W (m x r) "
                                                        "and H\u1d40 (n x r), which it polishes\n"
                                                        "first, its moves drawn from seed; returns "
                                                        "its index."},
    {"add_tiles", PYRT_FUNCTION(search_add_tiles), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("add_tiles($self, w, ht, r)") "Adds the tiles of W and H\u1d40 to the pool."},
    {"run", PYRT_FUNCTION(search_run), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE(
         "run($self, chain, moves, stop=None, seconds=None)") "Runs up to `moves` moves of a chain "
                                                              "(fewer once `seconds` have passed)\n"
                                                              "and returns its improvements as "
                                                              "(move, error, kind, tiles)."},
    {"hand_over", PYRT_FUNCTION(search_hand_over), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("hand_over($self, chain)") "Adds the tiles a chain found since its last "
                                               "hand-over to the pool."},
    {"best", PYRT_FUNCTION(search_best), METH_VARARGS | METH_KEYWORDS,
     PYRT_SIGNATURE("best($self, chain)") "(w, ht, error, moves, polish_iterations) of a chain's "
                                          "best solution;\nerror is the weighted error under the "
                                          "costs."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_search_getset[] = {
    {"chains", search_get_chains, nullptr, "Number of chains.", nullptr},
    {"pool_size", search_get_pool_size, nullptr, "Number of tiles in the pool.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_search_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_methods, g_search_methods},
    {Py_tp_getset, g_search_getset},
    {Py_tp_doc, const_cast<char*>(
                    PYRT_SIGNATURE("Search(x, cols, method, refit_width=0, mask=None, "
                                   "capacity=256, costs=None)") "The search beyond alternating "
                                                                "refits over a private copy of "
                                                                "the\n"
                                                                "packed x (m x cols) and its "
                                                                "observed cells: chains of moves "
                                                                "over\n"
                                                                "rank-one tiles, each move "
                                                                "polished by alternating refits "
                                                                "with\n"
                                                                "`method` (then exact refits of "
                                                                "groups of refit_width columns),\n"
                                                                "sharing a pool of at most "
                                                                "`capacity` tiles. With costs\n"
                                                                "(false_one, false_zero), None "
                                                                "for an infinite one, every error "
                                                                "is\n"
                                                                "weighted over the whole matrix.")},
    {0, nullptr},
};

PyType_Spec g_search_spec = {
    "quorbmf._native.Search", static_cast<int>(sizeof(PySearch)), 0, Py_TPFLAGS_DEFAULT,
    g_search_slots,
};

}  // namespace

void add_search_class(PyObject* module_object) {
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(pyrt::create_type(&g_search_spec)));
    pyrt::add_to_module(module_object, "Search", std::move(type));
}

}  // namespace bmf_native

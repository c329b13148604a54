"""The Dask backend: X checked on the client as far as it can be
(:mod:`.input`), packed and solved on the workers (:mod:`.tasks`), the fit
driven from the client (:mod:`.runner`), and a fitted model used lazily,
chunk by chunk (:mod:`.lazy`). Nothing here is imported unless the Dask
backend or a Dask collection is asked for."""
from .input import DaskRows, dask_input, dask_rows
from .lazy import dask_product, dask_score, dask_transform
from .runner import DaskBackend, SchedulerLost

__all__ = ["DaskBackend", "SchedulerLost", "DaskRows", "dask_input", "dask_rows",
           "dask_transform", "dask_score", "dask_product"]

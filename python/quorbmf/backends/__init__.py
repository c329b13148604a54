"""Where the half-steps of a fit run: threads of this process
(:mod:`.threads`) or the workers of a Dask cluster (:mod:`.dask`), both
behind the one protocol of :mod:`.base`. Internal to quorbmf."""

"""Role mining: users x permissions factorised from below.

Each user of an access-control table holds the permissions of the roles it
has. The table here is generated: a few planted roles (sets of
permissions), each user given one to three of them, then noise: stray
permissions granted one by one, the exceptions every real table has
(``--missing`` also drops some of the roles' permissions, which a role
found from below cannot cover). Factorising the table gives roles (the rows of H) and who has
them (W); in role mining a role assignment must never grant a permission
the user does not hold, so the fit is made from below (``from_below=True``:
W∘H stays below X). The roles found are matched against the planted ones.

The same data is then fitted with equal costs for both kinds of error and
with a false negative (a permission held but not given by any role) four
times as costly as a false positive (a permission given but not held), to
show the trade between the two.

    pip install ".[examples]" && python examples/roles.py
    python examples/roles.py --users 200 --permissions 60 --figure roles.png
"""
from __future__ import annotations

import argparse
import sys

import numpy as np

from example_tools import format_table
from quorbmf import BooleanMF


def build_parser():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--users", type=int, default=600, help="users (default 600)")
    p.add_argument("--permissions", type=int, default=150, help="permissions (default 150)")
    p.add_argument("--roles", type=int, default=8, help="planted roles (default 8)")
    p.add_argument("--missing", type=float, default=0.0,
                   help="share of the roles' permissions dropped (default 0)")
    p.add_argument("--stray", type=float, default=0.03,
                   help="share of the other cells granted at random, the exceptions "
                        "(default 0.03)")
    p.add_argument("--seed", type=int, default=0, help="seed of the data and the fits")
    p.add_argument("--figure", default="roles.png", help="figure file ('' for none)")
    return p


def planted_roles(users, permissions, roles, missing, stray, seed):
    """(X, roles, assignment): bool arrays users x permissions, roles x
    permissions and users x roles."""
    rng = np.random.default_rng(seed)
    h = np.zeros((roles, permissions), dtype=bool)
    for k in range(roles):
        size = int(rng.integers(max(2, permissions // 20), max(3, permissions // 6)))
        h[k, rng.choice(permissions, size=size, replace=False)] = True
    w = np.zeros((users, roles), dtype=bool)
    for i in range(users):
        w[i, rng.choice(roles, size=int(rng.integers(1, 4)), replace=False)] = True
    clean = (w[:, :, None] & h[None, :, :]).any(axis=1)
    x = clean & ~(rng.random(clean.shape) < missing)
    x |= ~clean & (rng.random(clean.shape) < stray)
    return x, h, w


def jaccard(a, b):
    union = int((a | b).sum())
    return int((a & b).sum()) / union if union else 1.0


def match_roles(found, planted):
    """For each planted role: the found role closest to it (Jaccard)."""
    return [max(((jaccard(f, p), k) for k, f in enumerate(found)), default=(0.0, -1))
            for p in planted]


def main(argv=None):
    args = build_parser().parse_args(argv)
    x, h0, w0 = planted_roles(args.users, args.permissions, args.roles, args.missing,
                              args.stray, args.seed)
    print(f"{args.users} users x {args.permissions} permissions, {int(x.sum())} grants, "
          f"{args.roles} planted roles\n")

    below = BooleanMF(args.roles, from_below=True, random_state=args.seed)
    w = below.fit_transform(x)
    product = below.inverse_transform(w)
    granted_not_held = int((product & ~x).sum())
    matches = match_roles(below.components_, h0)
    rows = [(k, int(h0[k].sum()), int(w0[:, k].sum()), found,
             int(below.components_[found].sum()), int(w[:, found].sum()), f"{score:.2f}")
            for k, (score, found) in enumerate(matches)]
    print(format_table(["planted", "perms", "users", "found", "perms", "users", "jaccard"],
                       rows))
    print(f"\nfrom below: {granted_not_held} permission(s) granted that a user lacks; "
          f"{below.n_false_negatives_} held permission(s) left to grant by hand\n")

    objectives = {"from below": below}
    for name, fp_cost, fn_cost in (("costs 1:1", 1.0, 1.0), ("costs 1:4", 1.0, 4.0)):
        objectives[name] = BooleanMF(args.roles, false_positive_cost=fp_cost,
                                     false_negative_cost=fn_cost,
                                     random_state=args.seed).fit(x)
    print(format_table(
        ["objective", "granted, not held", "held, not granted", "wrong cells"],
        [(name, m.n_false_positives_, m.n_false_negatives_, m.reconstruction_err_)
         for name, m in objectives.items()], align_left=(0,)))

    summary = {"x": x, "planted": h0, "matches": matches, "granted_not_held": granted_not_held,
               "models": objectives}
    if args.figure:
        draw(x, below, objectives, args.figure)
        print(f"\nfigure written to {args.figure}")
    return summary


def draw(x, below, objectives, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no figure", file=sys.stderr)
        return
    from quorbmf import plot_tiles

    fig, (tiles_ax, trade_ax) = plt.subplots(1, 2, figsize=(15, 5.5), layout="constrained",
                                             width_ratios=[2, 1])
    # Users and permissions ordered by the roles found: each role a block,
    # the permissions left to grant by hand marked as false negatives.
    plot_tiles(below, x, ax=tiles_ax)
    tiles_ax.set_xlabel("permissions, ordered by role")
    tiles_ax.set_ylabel("users, ordered by their roles")
    names = list(objectives)
    fps = [objectives[n].n_false_positives_ for n in names]
    fns = [objectives[n].n_false_negatives_ for n in names]
    at = np.arange(len(names))
    trade_ax.bar(at - 0.2, fps, 0.4, label="granted, not held")
    trade_ax.bar(at + 0.2, fns, 0.4, label="held, not granted")
    trade_ax.set_xticks(at, names)
    trade_ax.set_ylabel("cells")
    trade_ax.legend()
    trade_ax.set_title("the trade between the two errors")
    fig.savefig(path, dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    main()

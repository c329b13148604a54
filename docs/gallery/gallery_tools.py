"""Helpers of the gallery wrappers: show a PNG an example wrote as a figure."""
import tempfile
from pathlib import Path

import matplotlib.image
import matplotlib.pyplot as plt


def png_path(name):
    """A path in a fresh temporary folder for an example's PNG."""
    return str(Path(tempfile.mkdtemp(prefix="quorbmf-gallery-")) / name)


def show_png(path):
    """Closes the figures the example left open and shows the PNG it wrote,
    so the gallery holds exactly the picture the script produces."""
    plt.close("all")
    image = matplotlib.image.imread(path)
    height, width = image.shape[:2]
    fig = plt.figure(figsize=(width / 100, height / 100), dpi=100)
    ax = fig.add_axes((0, 0, 1, 1))
    ax.imshow(image)
    ax.set_axis_off()
    return fig

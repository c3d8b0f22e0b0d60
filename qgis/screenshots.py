"""Screenshots of the TALVEX provider in a running QGIS, for the guide.

Run inside QGIS (``qgis --code screenshots.py``) by scripts/qgis_screenshots.sh,
which sets TALVEX_EXAMPLES (the example scene's GeoTIFFs and parameter file)
and TALVEX_SCREENSHOTS (the folder that receives the PNGs). It opens the
surface reflectance dialog on the example scene, then runs it and shows the
result on the map, saves both pictures and quits QGIS.
"""

import os
import sys
import tempfile
import traceback

import processing
from qgis.core import (
    QgsApplication,
    QgsContrastEnhancement,
    QgsMultiBandColorRenderer,
    QgsProject,
    QgsRasterLayer,
    QgsRasterMinMaxOrigin,
)
from qgis.PyQt.QtCore import QTimer
from qgis.utils import iface

EXAMPLES = os.environ["TALVEX_EXAMPLES"]
SCREENSHOTS = os.environ["TALVEX_SCREENSHOTS"]
ALGORITHM = "talvex:surfacereflectance"
BANDS = (2, 3, 4, 5)
# Time for QGIS to draw a window or the map, milliseconds.
SETTLE_MS = 1500
WINDOW_SIZE = (1280, 800)
DIALOG_SIZE = (900, 760)


def fail_and_quit():
    traceback.print_exc()
    sys.stderr.flush()
    os._exit(1)


def example_layers():
    layers = []
    for band in BANDS:
        layer = QgsRasterLayer(
            os.path.join(EXAMPLES, f"example-band{band}.tif"), f"example band {band}"
        )
        if not layer.isValid():
            raise RuntimeError(f"cannot load {layer.source()}")
        QgsProject.instance().addMapLayer(layer)
        layers.append(layer)
    return layers


def step_dialog():
    try:
        layers = example_layers()
        output = os.path.join(tempfile.mkdtemp(prefix="talvex-screens-"), "example-surface.tif")
        parameters = {"INPUT": layers[0].id(), "OUTPUT": output}
        for band, layer in zip(BANDS[1:], layers[1:]):
            parameters[f"BAND{band}"] = layer.id()
        dialog = processing.createAlgorithmDialog(ALGORITHM, parameters)
        if dialog is None:
            raise RuntimeError(
                f"{ALGORITHM} is not in the Processing toolbox: is the plugin enabled?"
            )
        dialog.resize(*DIALOG_SIZE)
        dialog.show()
        QTimer.singleShot(SETTLE_MS, lambda: step_run(dialog, parameters, layers))
    except Exception:
        fail_and_quit()


def step_run(dialog, parameters, layers):
    try:
        dialog.grab().save(os.path.join(SCREENSHOTS, "qgis-dialog.png"))
        dialog.close()
        results = processing.run(ALGORITHM, parameters)
        for layer in layers:
            QgsProject.instance().removeMapLayer(layer.id())
        surface = QgsRasterLayer(results["OUTPUT"], "Surface reflectance")
        # False colour: near infrared, red and green (bands 4, 3, 2).
        renderer = QgsMultiBandColorRenderer(surface.dataProvider(), 3, 2, 1)
        surface.setRenderer(renderer)
        surface.setContrastEnhancement(
            QgsContrastEnhancement.StretchToMinimumMaximum, QgsRasterMinMaxOrigin.CumulativeCut
        )
        QgsProject.instance().addMapLayer(surface)
        iface.mainWindow().resize(*WINDOW_SIZE)
        iface.mapCanvas().setExtent(surface.extent())
        iface.mapCanvas().refresh()
        QTimer.singleShot(SETTLE_MS * 2, step_map)
    except Exception:
        fail_and_quit()


def step_map():
    try:
        iface.mainWindow().grab().save(os.path.join(SCREENSHOTS, "qgis-result.png"))
        QgsApplication.exit(0)
    except Exception:
        fail_and_quit()


QTimer.singleShot(SETTLE_MS, step_dialog)

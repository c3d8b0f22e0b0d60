// A scene whose input is slow to decode again and again (compressed, or in
// blocks too large for the block cache: one strip per band, large tiles) is
// decoded once, in the input's own block order, into a raw temporary beside
// the outputs: its four DN bands and a fifth band that holds the validity of
// each pixel (0 where a DN is 0 or the input marks no data in any band).
// Every output then reads that copy, so speed and memory do not depend on how
// the input is laid out.
#pragma once

#include "geo_outputs.h"
#include "raster_io.h"
#include "scene.h"

#include <gdal_priv.h>

namespace talvex::geo {

// Whether the scene is worth copying once before the outputs read it.
bool needsStaging(const Scene& scene);

// GDAL's block cache that the copy needs: one row of the input's blocks of
// one band, or of all bands of a pixel-interleaved file.
GIntBig stagingCacheBytes(const Scene& scene);

// Copies the scene into `reserved` (a temporary reserved beside the outputs)
// and points `scene` at the copy. Throws the input's read failure, the
// temporary's write failure or the interruption.
void stageScene(Scene& scene, OutputFile& reserved, GdalMessages& messages, CopyProgress& progress,
                const std::string& outputName);

} // namespace talvex::geo

// talvex._geo: talvex-geo's whole conversion (files in, georeferenced
// reflectance rasters out, committed together) for Python, without a
// process. The conversion runs without the GIL; the progress function and the
// cancel check take it back for a moment at each step GDAL reports.
#include "failure.h"
#include "talvex_geo.h"

#include <gdal.h>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The Python side of a failure, as the library reports it.
const char* kindName(talvex::FailureKind kind)
{
    switch (kind) {
    case talvex::FailureKind::parameters:
        return "parameters";
    case talvex::FailureKind::input:
        return "input";
    case talvex::FailureKind::output:
        return "output";
    case talvex::FailureKind::interrupted:
        return "interrupted";
    }
    return "output";
}

std::string withoutLineEnd(std::string message)
{
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

talvex::geo::OutputFormat formatNamed(const std::string& name)
{
    if (const auto format = talvex::geo::formatNamed(name)) {
        return *format;
    }
    throw py::value_error("output_format must be 'GTiff', 'COG' or 'ENVI', not '" + name + "'");
}

// What the run leaves for Python once the GIL is back: its warnings, and an
// exception raised by the caller's progress function or by a signal.
struct PythonSide {
    std::mutex lock;
    std::vector<std::string> warnings;
    std::optional<py::error_already_set> raised;
};

// Runs the conversion. Returns (status, outputs, notice, warnings); raises
// the failure as GeoFailure(message, kind, subject, status).
py::tuple correctFiles(const std::string& parameterFile, const std::vector<std::string>& inputs,
                       const std::string& outputBase, const std::string& outputFormat,
                       const std::vector<std::string>& creationOptions, const py::object& progress,
                       const py::object& failureType, const std::string& elevationMap,
                       const std::string& aerosolMap, const std::string& mapResampling)
{
    talvex::geo::GeoOptions options;
    options.format = formatNamed(outputFormat);
    options.creationOptions = creationOptions;
    options.parameterFile = parameterFile;
    options.inputs = inputs;
    options.outputBase = outputBase;
    options.elevationMap = elevationMap;
    options.aerosolMap = aerosolMap;
    options.mapResampling = mapResampling;
    PythonSide side;
    options.warning = [&side](const std::string& warning) {
        const std::lock_guard guard(side.lock);
        side.warnings.push_back(warning);
    };
    // Called in the thread that runs the conversion, which holds no GIL.
    options.progress = [&side, &progress](double complete) {
        const py::gil_scoped_acquire acquire;
        try {
            if (PyErr_CheckSignals() != 0) {
                throw py::error_already_set();
            }
            if (!progress.is_none()) {
                const py::object answer = progress(complete);
                return answer.is_none() || answer.cast<bool>();
            }
            return true;
        } catch (py::error_already_set& error) {
            side.raised.emplace(std::move(error));
            return false;
        }
    };
    if (options.inputs.size() != 1 && options.inputs.size() != 4) {
        throw py::value_error("inputs must be one four-band raster or four one-band rasters, not "
                              + std::to_string(options.inputs.size()));
    }

    GDALAllRegister();
    talvex::geo::GeoResult result;
    std::optional<talvex::Failure> failure;
    {
        const py::gil_scoped_release release;
        try {
            result = talvex::geo::correctFiles(options);
        } catch (const talvex::Failure& thrown) {
            failure = thrown;
        }
    }
    if (side.raised) {
        throw std::move(*side.raised);
    }
    if (failure) {
        PyErr_SetObject(failureType.ptr(),
                        py::make_tuple(withoutLineEnd(failure->message), kindName(failure->kind),
                                       failure->subject, failure->status)
                            .ptr());
        throw py::error_already_set();
    }
    return py::make_tuple(result.status, result.outputs, result.notice, side.warnings);
}

} // namespace

PYBIND11_MODULE(_geo, m)
{
    m.doc() = "talvex-geo's conversion of georeferenced scenes through GDAL, for talvex.geo.";
    m.attr("GDAL_RELEASE") = GDALVersionInfo("RELEASE_NAME");
    m.attr("FORMATS") =
        std::vector<std::string>{talvex::geo::driverName(talvex::geo::OutputFormat::gtiff),
                                 talvex::geo::driverName(talvex::geo::OutputFormat::cog),
                                 talvex::geo::driverName(talvex::geo::OutputFormat::envi)};
    m.attr("STATUS_COMPLETE") = talvex::STATUS_COMPLETE;
    m.attr("DEFAULT_MAP_RESAMPLING") = talvex::geo::DEFAULT_MAP_RESAMPLING;
    m.def("correct_files", &correctFiles, py::arg("parameter_file"), py::arg("inputs"),
          py::arg("output_base"), py::arg("output_format"), py::arg("creation_options"),
          py::arg("progress"), py::arg("failure_type"), py::arg("elevation_map") = "",
          py::arg("aerosol_map") = "",
          py::arg("map_resampling") = talvex::geo::DEFAULT_MAP_RESAMPLING,
          "Runs one conversion; returns (status, outputs, notice, warnings).");
}

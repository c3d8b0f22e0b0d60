// talvex._talvex: the processor library seen from Python. Every number
// comes from the library (the per-band DN tables, the band terms, the
// parameter reader and its checks, the table of the run parameters' fields,
// the warnings for values in another unit); this file converts between Python
// objects and the library's records, and looks DNs up in the tables over
// arrays of any shape and strides. The pure-Python modules of the package
// check the arguments and give the friendly messages; the checks here only
// keep memory safe whatever a caller passes.

#include "band_tables.h"
#include "bands.h"
#include "correction_model.h"
#include "failure.h"
#include "parameter_fields.h"
#include "pixel_terms.h"
#include "plausibility.h"
#include "run_parameters.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <span>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace py = pybind11;

namespace {

// The four tables of one reflectance, bands 2, 3, 4, 5 in order, each of
// DN_VALUES entries.
using TableArray = py::array_t<float, py::array::c_style>;

constexpr py::ssize_t TABLE_BANDS = talvex::BAND_COUNT;
constexpr py::ssize_t TABLE_ENTRIES = static_cast<py::ssize_t>(talvex::DN_VALUES);

// ---- Parameters <-> RunParameters ------------------------------------------
//
// Field by field from the library's table, by the fields' Python keywords.
// The fields of a talvex.Parameters are already rounded to 32 bits, so the
// casts below are exact; a field left at None (the atmosphere of a TOA-only
// run, the size of a scene that is not given) is one that nothing reads, and
// stays 0 as in a RunParameters.

void storeField(std::int32_t& target, const py::object& value)
{
    target = value.is_none() ? 0 : value.cast<std::int32_t>();
}

void storeField(float& target, const py::object& value)
{
    target = value.is_none() ? 0.0f : value.cast<float>();
}

void storeField(std::array<float, talvex::BAND_COUNT>& target, const py::object& value)
{
    const py::sequence sequence = value;
    if (py::len(sequence) != target.size()) {
        throw py::value_error("a per-band field must hold one value per band 2, 3, 4, 5");
    }
    for (std::size_t i = 0; i < target.size(); ++i) {
        target[i] = sequence[i].cast<float>();
    }
}

talvex::RunParameters runParametersFrom(const py::handle& parameters)
{
    talvex::RunParameters p;
    for (const talvex::ParameterField& field : talvex::PARAMETER_FIELDS) {
        const py::object value = parameters.attr(field.pythonName);
        std::visit([&](auto member) { storeField(p.*member, value); }, field.address);
    }
    return p;
}

py::object fieldValue(std::int32_t value)
{
    return py::int_(value);
}

py::object fieldValue(float value)
{
    return py::float_(value);
}

py::object fieldValue(const std::array<float, talvex::BAND_COUNT>& values)
{
    py::tuple tuple(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        tuple[i] = py::float_(values[i]);
    }
    return tuple;
}

// The fields of run parameters as the keywords of talvex.Parameters. The
// atmosphere is None when the option does not ask for it, since the reader
// then leaves it unread.
py::dict keywordsOf(const talvex::RunParameters& p)
{
    const bool correcting = p.correctionOption == talvex::CORRECTION_ON;
    py::dict keywords;
    for (const talvex::ParameterField& field : talvex::PARAMETER_FIELDS) {
        if (field.correctionOnly && !correcting) {
            keywords[field.pythonName] = py::none();
            continue;
        }
        std::visit([&](auto member) { keywords[field.pythonName] = fieldValue(p.*member); },
                   field.address);
    }
    return keywords;
}

// The table itself, for the package: one dict per field in stream order.
py::tuple parameterFieldTable()
{
    py::tuple table(talvex::PARAMETER_FIELDS.size());
    std::size_t i = 0;
    for (const talvex::ParameterField& field : talvex::PARAMETER_FIELDS) {
        static constexpr const char* KINDS[] = {"integer", "number", "per band"};
        py::dict entry;
        entry["python_name"] = field.pythonName;
        entry["message_name"] = field.messageName;
        entry["metadata_key"] = field.metadataKey;
        entry["unit"] = field.unit;
        entry["kind"] = KINDS[field.address.index()];
        entry["correction_only"] = field.correctionOnly;
        table[i++] = entry;
    }
    return table;
}

// The Python keyword of the field a failure names: the library names it by
// its member, its message name, or one band's value ("lmin of band 2").
std::optional<std::string> keywordOfSubject(const std::string& subject)
{
    for (const talvex::ParameterField& field : talvex::PARAMETER_FIELDS) {
        if (subject == field.member || subject == field.messageName) {
            return field.pythonName;
        }
        for (int band = talvex::FIRST_BAND; field.perBand && band <= talvex::LAST_BAND; ++band) {
            if (subject == talvex::bandFieldName(field, band)) {
                return field.pythonName;
            }
        }
    }
    return std::nullopt;
}

// ---- Parameter files --------------------------------------------------------

// A binary Python file seen as a C++ stream buffer, read a chunk at a time
// through its read(): the parameter reader takes no more of it than it needs,
// whatever the file is (a device, a huge file).
class PythonFileBuffer final : public std::streambuf {
public:
    explicit PythonFileBuffer(const py::object& file) : read_(file.attr("read")) {}

protected:
    int_type underflow() override
    {
        if (gptr() == egptr()) {
            chunk_ = read_(READ_CHUNK_BYTES).cast<std::string>();
            setg(chunk_.data(), chunk_.data(), chunk_.data() + chunk_.size());
        }
        return gptr() == egptr() ? traits_type::eof() : traits_type::to_int_type(*gptr());
    }

private:
    static constexpr py::ssize_t READ_CHUNK_BYTES = 4096;
    py::object read_;
    std::string chunk_;
};

// The fields of a parameter file (the stream from its line 3 on), read from
// an open binary file, as the keywords of talvex.Parameters, with the
// physical checks of a run applied.
py::dict readParameterFile(const py::object& file)
{
    PythonFileBuffer buffer(file);
    std::istream in(&buffer);
    in.exceptions(std::ios::badbit); // a failed read() raises its own error
    const talvex::RunParameters p = talvex::readParameterFile(in);
    talvex::checkPhysicalRange(p);
    return keywordsOf(p);
}

// ---- One value written as text ----------------------------------------------
//
// A keyword given as the decimal a user wrote is read by the parameter
// reader itself, so that it lands on the float (or integer) a parameter file
// holding the same text gives. The text stands on a line of its own in a
// minimal parameter file with every number on its own line: the reader takes
// the number from it and then the next field, so anything the number does
// not take up is refused rather than dropped as a comment.

// Where the first value of a field stands among the numbers of a file.
std::size_t numbersBefore(talvex::ParameterId id)
{
    std::size_t numbers = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(id); ++i) {
        numbers += talvex::PARAMETER_FIELDS[i].perBand ? talvex::BAND_COUNT : 1;
    }
    return numbers;
}

// A TOA-only parameter file, one number a line, `text` as the number at
// `position` and every other value 0.
std::string minimalFile(std::size_t position, std::string_view text)
{
    if (text.find_first_of("\r\n") != std::string_view::npos) {
        throw py::value_error("a value given as text must be one line");
    }
    const std::size_t optionPosition = numbersBefore(talvex::ParameterId::correctionOption);
    std::string file;
    for (std::size_t i = 0; i <= optionPosition; ++i) {
        file += i == position         ? std::string(text)
                : i == optionPosition ? std::to_string(talvex::CORRECTION_OFF)
                                      : std::string("0");
        file += '\n';
    }
    return file;
}

float readNumberText(std::string_view text)
{
    using talvex::ParameterId;
    std::istringstream in(minimalFile(numbersBefore(ParameterId::lmin), text));
    return talvex::readParameterFile(in).lmin.front();
}

std::int32_t readIntegerText(std::string_view text)
{
    std::istringstream in(minimalFile(numbersBefore(talvex::ParameterId::lineCount), text));
    return talvex::readParameterFile(in).lineCount;
}

// The shortest decimal that reads back as the same 32-bit float, as
// metadata holds the run's values.
std::string floatText(float value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// ---- Band terms -------------------------------------------------------------

py::dict bandTermsOf(int band, const talvex::RunParameters& p)
{
    const talvex::BandTerms t = talvex::bandTerms(band, p);
    py::dict terms;
    terms["water_vapour_transmittance"] = t.gas.waterVapourTransmittance;
    terms["ozone_transmittance"] = t.gas.ozoneTransmittance;
    terms["gas_transmittance"] = t.gas.gasTransmittance;
    terms["spherical_albedo"] = t.sphericalAlbedo;
    terms["down_transmission"] = t.downTransmission;
    terms["up_transmission"] = t.upTransmission;
    terms["relative_azimuth_deg"] = t.geometry.relativeAzimuthDeg;
    terms["zenith_sine_product"] = t.geometry.zenithSineProduct;
    terms["cos_scattering"] = t.geometry.cosScattering;
    terms["scattering_angle_deg"] = t.geometry.scatteringAngleDeg;
    terms["rayleigh_optical_depth"] = t.rayleighOpticalDepth;
    terms["rayleigh_phase"] = t.rayleighPhase;
    terms["rayleigh_reflectance"] = t.rayleighReflectance;
    terms["aerosol_optical_depth_band"] = t.aerosolOpticalDepthBand;
    terms["aerosol_phase"] = t.aerosolPhase;
    terms["aerosol_reflectance"] = t.aerosolReflectance;
    terms["rayleigh_residual"] = t.rayleighResidual;
    terms["aerosol_residual"] = t.aerosolResidual;
    terms["path_reflectance"] = t.pathReflectance;
    return terms;
}

py::dict allBandTerms(const py::handle& parameters)
{
    const talvex::RunParameters p = runParametersFrom(parameters);
    py::dict bands;
    for (int band = talvex::FIRST_BAND; band <= talvex::LAST_BAND; ++band) {
        bands[py::int_(band)] = bandTermsOf(band, p);
    }
    return bands;
}

// ---- Tables -----------------------------------------------------------------

TableArray bandTables(const py::handle& parameters, bool surface)
{
    const talvex::RunParameters p = runParametersFrom(parameters);
    const talvex::Reflectance reflectance =
        surface ? talvex::Reflectance::surface : talvex::Reflectance::topOfAtmosphere;
    TableArray tables({TABLE_BANDS, TABLE_ENTRIES});
    float* data = tables.mutable_data();
    {
        py::gil_scoped_release release;
        const talvex::RadiometricSetup setup = talvex::radiometricSetup(p);
        for (int band = talvex::FIRST_BAND; band <= talvex::LAST_BAND; ++band) {
            fillBandTable(reflectance, band, p, setup,
                          talvex::DnTable(data + talvex::bandIndex(band) * talvex::DN_VALUES,
                                          talvex::DN_VALUES));
        }
    }
    return tables;
}

// ---- Look-up over arrays of any strides -------------------------------------

// One axis of the pixels of a band: its length and the steps, in bytes, of
// the DN array and of the output along it.
struct PixelAxis {
    py::ssize_t length;
    py::ssize_t dnStep;
    py::ssize_t outStep;
};

// The axes after the band axis, in an order that walks memory forwards as
// far as possible: axes of length 1 dropped, the smallest steps innermost,
// and neighbours that are one run of memory in both arrays merged, so that a
// contiguous block of any shape is one run per band.
std::vector<PixelAxis> pixelAxes(const py::array& dn, const py::array& out)
{
    std::vector<PixelAxis> axes;
    for (py::ssize_t axis = 1; axis < dn.ndim(); ++axis) {
        if (dn.shape(axis) != 1) {
            axes.push_back({dn.shape(axis), dn.strides(axis), out.strides(axis)});
        }
    }
    std::stable_sort(axes.begin(), axes.end(), [](const PixelAxis& a, const PixelAxis& b) {
        const auto outA = std::abs(a.outStep), outB = std::abs(b.outStep);
        return outA != outB ? outA > outB : std::abs(a.dnStep) > std::abs(b.dnStep);
    });
    std::vector<PixelAxis> merged;
    for (const PixelAxis& axis : axes) {
        if (!merged.empty()) {
            PixelAxis& outer = merged.back();
            if (outer.dnStep == axis.dnStep * axis.length
                && outer.outStep == axis.outStep * axis.length) {
                outer = {outer.length * axis.length, axis.dnStep, axis.outStep};
                continue;
            }
        }
        merged.push_back(axis);
    }
    if (merged.empty()) {
        merged.push_back({1, 0, 0}); // one pixel per band
    }
    return merged;
}

// Runs longer than this are written around the caches: a whole band of a
// scene would only evict everything else, and each cache line written
// through the cache is first read from memory.
constexpr std::size_t STREAMING_MIN_VALUES = std::size_t{1} << 18; // 1 MiB of floats
constexpr std::uintptr_t STREAMING_ALIGNMENT = 16;
constexpr std::size_t STREAMING_WIDTH = 4; // floats per store
// DNs of a contiguous run looked up and then counted together: a few pages,
// well inside the first-level cache.
constexpr std::size_t CONTIGUOUS_BATCH_VALUES = std::size_t{1} << 13;
// The processor's cores, at least one.
std::size_t coreCount()
{
    return std::max(1U, std::thread::hardware_concurrency());
}

// work(t) for t = 0 to threads - 1, each on a thread of its own (0 on the
// calling one); the first failure of any is thrown once all have ended.
template <typename Work>
void onThreads(std::size_t threads, const Work& work)
{
    std::vector<std::exception_ptr> failures(threads);
    const auto run = [&](std::size_t t) {
        try {
            work(t);
        } catch (...) {
            failures[t] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < threads; ++t) {
        workers.emplace_back(run, t);
    }
    run(0);
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

// Values of a table lookup that a thread takes at least: below, a thread
// costs more than it saves.
constexpr py::ssize_t TABLE_MIN_VALUES_PER_THREAD = py::ssize_t{1} << 20;
// DNs of a strided run counted together.
constexpr std::size_t STRIDED_BATCH_VALUES = 1024;

// out[k] = table[dn[k]], as applyBandTable, with the values stored four at
// a time past the caches.
void lookUpStreaming(std::span<const float, talvex::DN_VALUES> table, const std::uint16_t* dn,
                     float* out, std::size_t count)
{
#if defined(__SSE2__)
    std::size_t k = 0;
    const std::size_t head = std::min(
        count, ((STREAMING_ALIGNMENT - reinterpret_cast<std::uintptr_t>(out) % STREAMING_ALIGNMENT)
                % STREAMING_ALIGNMENT)
                   / sizeof(float));
    talvex::applyBandTable(table, dn, out, head);
    for (k = head; k + STREAMING_WIDTH <= count; k += STREAMING_WIDTH) {
        _mm_stream_ps(out + k, _mm_setr_ps(table[dn[k]], table[dn[k + 1]], table[dn[k + 2]],
                                           table[dn[k + 3]]));
    }
    talvex::applyBandTable(table, dn + k, out + k, count - k);
    _mm_sfence();
#else
    talvex::applyBandTable(table, dn, out, count);
#endif
}

// DNs above the full scale of the calibration among `dn`.
std::uint64_t aboveFullScale(std::span<const std::uint16_t> dn)
{
    return talvex::countDnAboveFullScale(dn);
}

// The DNs of one run and how many of them lie above the full scale.
std::uint64_t lookUpRun(std::span<const float, talvex::DN_VALUES> table, const PixelAxis& axis,
                        const char* dn, char* out, bool streaming)
{
    if (axis.dnStep == sizeof(std::uint16_t) && axis.outStep == sizeof(float)) {
        const auto count = static_cast<std::size_t>(axis.length);
        const auto* dnValues = reinterpret_cast<const std::uint16_t*>(dn);
        auto* outValues = reinterpret_cast<float*>(out);
        const bool pastCaches = streaming && count >= STREAMING_MIN_VALUES;
        // A batch at a time, counted while its DNs are still in the cache.
        std::uint64_t above = 0;
        for (std::size_t first = 0; first < count; first += CONTIGUOUS_BATCH_VALUES) {
            const std::size_t n = std::min(CONTIGUOUS_BATCH_VALUES, count - first);
            if (pastCaches) {
                lookUpStreaming(table, dnValues + first, outValues + first, n);
            } else {
                talvex::applyBandTable(table, dnValues + first, outValues + first, n);
            }
            above += aboveFullScale({dnValues + first, n});
        }
        return above;
    }
    // Strided: the DNs are gathered a batch at a time for the count.
    std::array<std::uint16_t, STRIDED_BATCH_VALUES> batch;
    std::uint64_t above = 0;
    std::size_t held = 0;
    for (py::ssize_t k = 0; k < axis.length; ++k) {
        const std::uint16_t value = *reinterpret_cast<const std::uint16_t*>(dn + k * axis.dnStep);
        *reinterpret_cast<float*>(out + k * axis.outStep) = table[value];
        batch[held++] = value;
        if (held == batch.size()) {
            above += aboveFullScale(batch);
            held = 0;
        }
    }
    return above + aboveFullScale({batch.data(), held});
}

std::uint64_t lookUpAxes(std::span<const float, talvex::DN_VALUES> table,
                         std::span<const PixelAxis> axes, const char* dn, char* out, bool streaming)
{
    if (axes.size() == 1) {
        return lookUpRun(table, axes.front(), dn, out, streaming);
    }
    const PixelAxis& axis = axes.front();
    std::uint64_t above = 0;
    for (py::ssize_t k = 0; k < axis.length; ++k) {
        above += lookUpAxes(table, axes.subspan(1), dn + k * axis.dnStep, out + k * axis.outStep,
                            streaming);
    }
    return above;
}

py::list countList(const std::array<std::uint64_t, talvex::BAND_COUNT>& counts)
{
    py::list list;
    for (const std::uint64_t count : counts) {
        list.append(count);
    }
    return list;
}

// Numpy's own judgement, which leaves out the steps of axes of length 1.
bool isAligned(const py::array& array)
{
    return (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
}

// out[b, ...] = tables[b][dn[b, ...]] for the four bands b; returns how many
// DNs of each band lie above the full scale. `fresh` says
// that out was just allocated: its pages are then zeroed by the system as
// they are first written, which leaves them in the cache, and ordinary
// stores are faster than stores past the cache.
py::list applyBandTables(const TableArray& tables, const py::array& dn, py::array out, bool fresh)
{
    if (tables.ndim() != 2 || tables.shape(0) != TABLE_BANDS || tables.shape(1) != TABLE_ENTRIES) {
        throw py::value_error("the tables must be float32 of shape (4, 65536)");
    }
    if (!py::isinstance<py::array_t<std::uint16_t>>(dn)) {
        throw py::type_error("dn must be an array of native uint16, found "
                             + py::str(dn.dtype()).cast<std::string>());
    }
    if (!py::isinstance<py::array_t<float>>(out)) {
        throw py::type_error("out must be an array of native float32, found "
                             + py::str(out.dtype()).cast<std::string>());
    }
    if (dn.ndim() < 1 || dn.shape(0) != TABLE_BANDS) {
        throw py::value_error("dn must have the four bands 2, 3, 4, 5 on its first axis");
    }
    if (out.ndim() != dn.ndim() || !std::equal(dn.shape(), dn.shape() + dn.ndim(), out.shape())) {
        throw py::value_error("out must have the shape of dn");
    }
    if (!out.writeable()) {
        throw py::value_error("out is read-only");
    }
    if (!isAligned(dn) || !isAligned(out)) {
        throw py::value_error("dn and out must be aligned arrays");
    }
    std::array<std::uint64_t, talvex::BAND_COUNT> above{};
    if (dn.size() == 0) {
        return countList(above);
    }
    const std::vector<PixelAxis> axes = pixelAxes(dn, out);
    const char* dnData = static_cast<const char*>(dn.data());
    char* outData = static_cast<char*>(out.mutable_data());
    const float* tableData = tables.data();
    const py::ssize_t dnBandStep = dn.strides(0);
    const py::ssize_t outBandStep = out.strides(0);

    const auto lookUpBand = [&](std::size_t i) {
        const auto band = static_cast<py::ssize_t>(i);
        const std::span<const float, talvex::DN_VALUES> table(tableData + band * TABLE_ENTRIES,
                                                              talvex::DN_VALUES);
        above[i] = lookUpAxes(table, axes, dnData + band * dnBandStep, outData + band * outBandStep,
                              !fresh);
    };
    {
        py::gil_scoped_release release;
        // The bands are shared among the processor's cores when they are
        // large enough to pay for a thread.
        const std::size_t threads = dn.size() < TABLE_MIN_VALUES_PER_THREAD * 2
                                        ? 1
                                        : std::min<std::size_t>(talvex::BAND_COUNT, coreCount());
        onThreads(threads, [&](std::size_t t) {
            for (std::size_t i = t; i < talvex::BAND_COUNT; i += threads) {
                lookUpBand(i);
            }
        });
    }
    return countList(above);
}

// ---- Per-pixel elevation and aerosol optical depth ---------------------------

// Pixels per block: the quantised slots of a block are found once for the
// four bands, in memory that stays in the cache.
constexpr std::size_t MAP_BLOCK_PIXELS = std::size_t{1} << 14;
// Blocks a thread takes at least: below, a thread costs more than it saves.
constexpr py::ssize_t MAP_MIN_BLOCKS_PER_THREAD = 16;

using MapArray = py::array_t<float, py::array::c_style>;

const float* mapValues(const py::object& map, py::ssize_t pixels, const char* name)
{
    if (map.is_none()) {
        return nullptr;
    }
    // Only an array that is already float32 and contiguous: a converted copy
    // would not outlive this function.
    if (!py::isinstance<MapArray>(map)) {
        throw py::type_error(std::string(name) + " must be a contiguous float32 array");
    }
    const auto array = py::reinterpret_borrow<MapArray>(map);
    if (array.ndim() != 1 || array.shape(0) != pixels) {
        throw py::value_error(std::string(name)
                              + " must be a float32 array of one value per pixel");
    }
    return array.data();
}

// The terms of every distinct map value met so far with one set of run
// parameters, kept from call to call (a Parameters object holds one).
struct MapTerms {
    talvex::PixelTermTables tables;
};

// out[b, k] = surface reflectance of dn[b, k] at the pixel's elevation and
// optical depth (None: the parameters' own). dn and out are C-contiguous
// (4, pixels); each map (pixels,). Returns the DNs above full scale per
// band. The pixels are shared among the processor's cores, each with its
// own copy of the terms met so far; what they meet is kept afterwards.
py::tuple surfaceReflectanceMaps(MapTerms& terms, const TableArray& toaTables,
                                 const py::array_t<std::uint16_t, py::array::c_style>& dn,
                                 const py::object& elevation, const py::object& aerosol,
                                 py::array_t<float, py::array::c_style> out)
{
    if (toaTables.ndim() != 2 || toaTables.shape(0) != TABLE_BANDS
        || toaTables.shape(1) != TABLE_ENTRIES) {
        throw py::value_error("the tables must be float32 of shape (4, 65536)");
    }
    if (dn.ndim() != 2 || dn.shape(0) != TABLE_BANDS || out.ndim() != 2
        || out.shape(0) != TABLE_BANDS || out.shape(1) != dn.shape(1)) {
        throw py::value_error("dn and out must be (4, pixels) arrays of the same shape");
    }
    const py::ssize_t pixels = dn.shape(1);
    const float* elevationValues = mapValues(elevation, pixels, "elevation");
    const float* aerosolValues = mapValues(aerosol, pixels, "aerosol optical depth");
    const std::uint16_t* dnData = dn.data();
    float* outData = out.mutable_data();
    const float* tableData = toaTables.data();
    std::array<std::uint64_t, talvex::BAND_COUNT> above{};

    // Pixels first to last through one thread's own tables, counting the
    // DNs above full scale of each band while the block is in the cache.
    const auto convertRange = [&](py::ssize_t first, py::ssize_t last,
                                  talvex::PixelTermTables& tables,
                                  std::array<std::uint64_t, talvex::BAND_COUNT>& rangeAbove) {
        std::vector<std::int32_t> elevationSlots(MAP_BLOCK_PIXELS);
        std::vector<std::int32_t> aerosolSlots(MAP_BLOCK_PIXELS);
        for (py::ssize_t start = first; start < last;
             start += static_cast<py::ssize_t>(MAP_BLOCK_PIXELS)) {
            const auto count = static_cast<std::size_t>(
                std::min<py::ssize_t>(static_cast<py::ssize_t>(MAP_BLOCK_PIXELS), last - start));
            talvex::MapBlockSlots slots;
            if (elevationValues != nullptr) {
                talvex::mapSlots(tables, talvex::MapQuantity::elevation, elevationValues + start,
                                 nullptr, elevationSlots.data(), count);
                slots.elevation = elevationSlots.data();
            }
            if (aerosolValues != nullptr) {
                talvex::mapSlots(tables, talvex::MapQuantity::aerosolOpticalDepth,
                                 aerosolValues + start, nullptr, aerosolSlots.data(), count);
                slots.aerosolOpticalDepth = aerosolSlots.data();
            }
            talvex::applyPixelTermsToBands(tables, tableData, dnData + start,
                                           static_cast<std::size_t>(pixels), slots, outData + start,
                                           static_cast<std::size_t>(pixels), count);
            for (std::size_t i = 0; i < talvex::BAND_COUNT; ++i) {
                rangeAbove[i] +=
                    aboveFullScale({dnData + static_cast<py::ssize_t>(i) * pixels + start, count});
            }
        }
    };
    // Each thread takes a run of whole blocks, with a copy of the tables of
    // its own: a distinct value met by two threads is computed twice, to the
    // same bits. The copies are made and merged back while the GIL is held,
    // so that calls from several Python threads share the tables safely.
    const py::ssize_t blocks = (pixels + static_cast<py::ssize_t>(MAP_BLOCK_PIXELS) - 1)
                               / static_cast<py::ssize_t>(MAP_BLOCK_PIXELS);
    const auto threads = static_cast<std::size_t>(std::clamp<py::ssize_t>(
        blocks / MAP_MIN_BLOCKS_PER_THREAD, 1, static_cast<py::ssize_t>(coreCount())));
    std::vector<talvex::PixelTermTables> tables(threads, terms.tables);
    {
        py::gil_scoped_release release;
        std::vector<std::array<std::uint64_t, talvex::BAND_COUNT>> threadAbove(threads);
        onThreads(threads, [&](std::size_t t) {
            const py::ssize_t firstBlock =
                blocks * static_cast<py::ssize_t>(t) / static_cast<py::ssize_t>(threads);
            const py::ssize_t lastBlock =
                blocks * static_cast<py::ssize_t>(t + 1) / static_cast<py::ssize_t>(threads);
            convertRange(firstBlock * static_cast<py::ssize_t>(MAP_BLOCK_PIXELS),
                         std::min(pixels, lastBlock * static_cast<py::ssize_t>(MAP_BLOCK_PIXELS)),
                         tables[t], threadAbove[t]);
        });
        for (const auto& counts : threadAbove) {
            for (std::size_t i = 0; i < talvex::BAND_COUNT; ++i) {
                above[i] += counts[i];
            }
        }
    }
    for (const talvex::PixelTermTables& threadTables : tables) {
        talvex::mergeFilledSlots(terms.tables, threadTables);
    }
    return countList(above);
}

// ---- Failures ---------------------------------------------------------------

// Length of the UTF-8 sequence that `lead` starts, 0 for a byte that starts none.
std::size_t utf8SequenceLength(unsigned char lead)
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Whether text[at, at + length) is one well-formed UTF-8 character.
bool isUtf8Character(std::string_view text, std::size_t at, std::size_t length)
{
    if (length == 0 || at + length > text.size()) {
        return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) {
            return false;
        }
    }
    if (length == 1) {
        return true;
    }
    // The one decoder decides overlong forms and surrogates.
    PyObject* decoded =
        PyUnicode_DecodeUTF8(text.data() + at, static_cast<py::ssize_t>(length), "strict");
    if (decoded == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(decoded);
    return true;
}

// Whether a well-formed UTF-8 character text[at, at + length) shows on
// screen: not a C1 control character, and not one of the invisible format
// characters that would hide or reorder what a quote holds (a byte-order mark
// in front of a number, a right-to-left override).
bool isVisibleCharacter(std::string_view text, std::size_t at, std::size_t length)
{
    static constexpr unsigned char LEAD_PAYLOAD[] = {0x7F, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t code = static_cast<unsigned char>(text[at]) & LEAD_PAYLOAD[length];
    for (std::size_t k = 1; k < length; ++k) {
        code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    }
    struct Range {
        char32_t first, last;
    };
    static constexpr Range INVISIBLE[] = {
        {0x80, 0x9F},     // C1 control characters
        {0x200B, 0x200F}, // zero-width spaces and joiners, direction marks
        {0x202A, 0x202E}, // direction embeddings and overrides
        {0x2060, 0x2069}, // word joiner, invisible operators, direction isolates
        {0xFEFF, 0xFEFF}, // byte-order mark
    };
    for (const Range& range : INVISIBLE) {
        if (code >= range.first && code <= range.last) {
            return false;
        }
    }
    return true;
}

// A message of the library as Python text. The library quotes a file's
// bytes as they are: those that are not text (another encoding, NUL, control
// characters, binary) and characters that do not show (a byte-order mark, a
// direction override) are shown as \xNN escapes, and a character that the
// quote's length limit cut in two, which the "..." after it marks, is left out
// whole. The line end that the console needs is dropped.
std::string messageText(std::string_view message)
{
    constexpr std::string_view CUT_MARK = "...";
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    std::string text;
    const auto escape = [&text](unsigned char value) {
        static constexpr char HEX[] = "0123456789abcdef";
        text += "\\x";
        text.push_back(HEX[value >> 4]);
        text.push_back(HEX[value & 0xF]);
    };
    for (std::size_t at = 0; at < message.size();) {
        const auto byte = static_cast<unsigned char>(message[at]);
        const std::size_t length = utf8SequenceLength(byte);
        if (length == 1 && byte >= 0x20 && byte != 0x7F) {
            text.push_back(message[at++]);
            continue;
        }
        if (length > 1 && isUtf8Character(message, at, length)) {
            if (isVisibleCharacter(message, at, length)) {
                text.append(message.substr(at, length));
            } else {
                for (std::size_t k = 0; k < length; ++k) {
                    escape(static_cast<unsigned char>(message[at + k]));
                }
            }
            at += length;
            continue;
        }
        // The start of a character whose remaining bytes the quote cut off.
        std::size_t continuation = at + 1;
        while (continuation < message.size() && continuation < at + length
               && (static_cast<unsigned char>(message[continuation]) & 0xC0) == 0x80) {
            ++continuation;
        }
        if (length > 1 && message.substr(continuation, CUT_MARK.size()) == CUT_MARK) {
            at = continuation;
            continue;
        }
        escape(byte);
        ++at;
    }
    return text;
}

// The line of the file a reading failure names, when it names one.
std::optional<int> lineOf(std::string_view message)
{
    constexpr std::string_view LINE_MARK = ", line ";
    const std::size_t at = message.find(LINE_MARK);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    int line = 0;
    const char* first = message.data() + at + LINE_MARK.size();
    const auto result = std::from_chars(first, message.data() + message.size(), line);
    if (result.ec != std::errc() || result.ptr == first || *result.ptr != ':') {
        return std::nullopt;
    }
    return line;
}

// A Failure of the library becomes a talvex.ParameterError (the run
// parameters) or a ValueError, with the whole message. The error carries the
// keyword of the field the library names and, for a reading failure, the line.
void raiseFailure(const talvex::Failure& failure)
{
    const std::string message = messageText(failure.message);
    if (failure.kind != talvex::FailureKind::parameters) {
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return;
    }
    const std::optional<int> line = lineOf(failure.message);
    const std::optional<std::string> keyword = keywordOfSubject(failure.subject);
    const py::object error =
        py::module_::import("talvex._errors")
            .attr("ParameterError")(
                message, keyword ? py::object(py::str(*keyword)) : py::object(py::none()),
                line ? py::object(py::int_(*line)) : py::object(py::none()));
    PyErr_SetObject(error.get_type().ptr(), error.ptr());
}

} // namespace

PYBIND11_MODULE(_talvex, m)
{
    m.doc() = "The TALVEX processor library: DN tables, band terms and the parameter reader.";
    m.attr("__version__") = TALVEX_VERSION;
    m.attr("FIRST_BAND") = talvex::FIRST_BAND;
    m.attr("LAST_BAND") = talvex::LAST_BAND;
    m.attr("BAND_COUNT") = talvex::BAND_COUNT;
    py::tuple colours(talvex::BAND_COUNT);
    for (int i = 0; i < talvex::BAND_COUNT; ++i) {
        colours[static_cast<std::size_t>(i)] = talvex::BAND_COLOURS[i];
    }
    m.attr("BAND_COLOURS") = colours;
    m.attr("DN_VALUES") = talvex::DN_VALUES;
    m.attr("CORRECTION_OFF") = talvex::CORRECTION_OFF;
    m.attr("CORRECTION_ON") = talvex::CORRECTION_ON;
    m.attr("PARAMETER_FIELDS") = parameterFieldTable();

    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const talvex::Failure& failure) {
            raiseFailure(failure);
        }
    });

    m.def("read_parameter_file", &readParameterFile, py::arg("file"),
          "The fields of an open binary parameter file, as the keywords of talvex.Parameters.");
    m.def("read_number_text", &readNumberText, py::arg("text"),
          "The 32-bit float a parameter file holding this text gives.");
    m.def("read_integer_text", &readIntegerText, py::arg("text"),
          "The 32-bit integer a parameter file holding this text gives.");
    m.def("float_text", &floatText, py::arg("value"),
          "The shortest decimal that reads back as the same 32-bit float.");
    m.def(
        "check_physical_range",
        [](const py::handle& parameters) {
            talvex::checkPhysicalRange(runParametersFrom(parameters));
        },
        py::arg("parameters"), "Raises ValueError for a physically impossible value.");
    m.def("band_terms", &allBandTerms, py::arg("parameters"),
          "The band-level terms of the correction model, per band.");
    m.def("band_tables", &bandTables, py::arg("parameters"), py::arg("surface"),
          "The (4, 65536) float32 tables of TOA or surface reflectance of every DN.");
    m.def(
        "apply_band_tables", &applyBandTables, py::arg("tables").noconvert(),
        py::arg("dn").noconvert(), py::arg("out").noconvert(), py::arg("fresh"),
        "out[b, ...] = tables[b][dn[b, ...]], without the GIL; the DNs above full scale per band.");
    m.def(
        "unit_warnings",
        [](const py::handle& parameters) {
            return talvex::unitWarnings(runParametersFrom(parameters));
        },
        py::arg("parameters"), "One sentence per value that looks like another unit.");
    m.def(
        "dn_above_full_scale_warning",
        [](std::uint64_t count, int band) { return talvex::dnAboveFullScaleWarning(count, band); },
        py::arg("count"), py::arg("band"), "The sentence for DNs of a band above the full scale.");
    py::class_<MapTerms>(m, "MapTerms",
                         "The terms of the map values met so far with one set of parameters.")
        .def(py::init([](const py::handle& parameters) {
                 return MapTerms{talvex::pixelTermTables(runParametersFrom(parameters))};
             }),
             py::arg("parameters"))
        .def_property_readonly(
            "distinct_values",
            [](const MapTerms& terms) {
                return py::make_tuple(terms.tables.distinctElevations,
                                      terms.tables.distinctAerosolDepths);
            },
            "How many distinct elevations and aerosol optical depths have terms.");
    m.def(
        "surface_reflectance_maps", &surfaceReflectanceMaps, py::arg("terms"),
        py::arg("toa_tables").noconvert(), py::arg("dn").noconvert(), py::arg("elevation"),
        py::arg("aerosol"), py::arg("out").noconvert(),
        "Surface reflectance with per-pixel elevation and aerosol optical depth, without the GIL.");
    m.attr("MAP_ELEVATION_STEP_METRES") = talvex::MAP_ELEVATION_STEP_METRES;
    m.attr("MAP_AEROSOL_DEPTH_STEP") = talvex::MAP_AEROSOL_DEPTH_STEP;
}

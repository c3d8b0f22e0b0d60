#include "envi_header.h"

#include "bands.h"

namespace talvex {

std::string enviHeaderText(std::int32_t sampleCount, std::int32_t lineCount)
{
    return "ENVI\ndescription = {File Imported into ENVI.}\nsamples = "
           + std::to_string(sampleCount) + "\nlines = " + std::to_string(lineCount)
           + "\nbands = " + std::to_string(BAND_COUNT)
           + "\nheader offset = " + std::to_string(ENVI_HEADER_OFFSET_BYTES)
           + "\nfile type = ENVI Standard\ndata type = " + std::to_string(ENVI_DATA_TYPE_FLOAT32)
           + "\ninterleave = bsq\nsensor type = Unknown\nbyte order = "
           + std::to_string(ENVI_BYTE_ORDER_LITTLE_ENDIAN) + "\nwavelength units = Unknown\n";
}

void writeEnviHeader(OutputFile& header, std::int32_t sampleCount, std::int32_t lineCount)
{
    const std::string text = enviHeaderText(sampleCount, lineCount);
    writeOutput(header, text.data(), text.size());
}

} // namespace talvex

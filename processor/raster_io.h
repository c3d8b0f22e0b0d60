// The files of a run, for code that uses all of them: the DN image, the
// commit of the outputs and their ENVI headers.
#pragma once

#include "envi_header.h"
#include "input_image.h"
#include "output_commit.h"

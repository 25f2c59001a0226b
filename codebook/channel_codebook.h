#pragma once
// The codebook compiled into the program. The image layout itself belongs to
// the file format (format/codebook_image.h), shared with every reader.

#include "format/codebook_image.h"

namespace clipvane {

// The codebook compiled into the program: in force during the collection pass
// and whenever no side file is read.
const ChannelCodebook& BuiltInCodebook();

}  // namespace clipvane

#pragma once

// The stored JSON form of a report written straight from its structures,
// piece by piece: the same bytes as building the JSON document and printing
// it pretty with sorted keys (Report::toJson() through codec::dumpStored),
// without holding either the document or the text whole in memory.

#include "shared/output_buffer.h"
#include "shared/report.h"

namespace tallowick {

void writeReportJSON(const Report& report, OutputBuffer& out);

}  // namespace tallowick

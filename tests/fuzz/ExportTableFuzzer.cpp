// The export reader over arbitrary bytes, read as a file and (for PE) as a
// mapped image: every input gives an answer or a refusal, never a read
// outside the buffer (AddressSanitizer watches the exact-size input), and an
// export is only ever found in a library of the format the bytes announce.

#include "FuzzCheck.h"

#include "platform/modules/ExportTable.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using platform::ExportScan;
    using platform::ImageLayout;
    const bool elf = size >= 4 && std::memcmp(data, "\x7f" "ELF", 4) == 0;
    const bool pe = size >= 2 && data[0] == 'M' && data[1] == 'Z';
    for (const ImageLayout layout : {ImageLayout::file, ImageLayout::mapped}) {
        const ExportScan scan = platform::scanExports(data, size, "Invoke", layout);
        FUZZ_CHECK(scan.format == (elf ? ExportScan::Format::elf : pe ? ExportScan::Format::pe : ExportScan::Format::unknown));
        FUZZ_CHECK(!scan.exported || scan.library);
        FUZZ_CHECK(scan.format != ExportScan::Format::unknown || (!scan.library && scan.machine == 0));
    }
    return 0;
}

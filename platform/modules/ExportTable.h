#pragma once

// Reads whether a shared library exports a symbol, from the bytes of the
// library alone, without loading it: no code of the library runs. Portable,
// so that both platforms and the fuzzer use the same reader. Every offset is
// checked against the buffer; a malformed file is refused, never read past.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

struct ExportScan {
    enum class Format { unknown, elf, pe };
    Format format = Format::unknown;
    // The headers are sound and the file is one the loader would map as a
    // library of this kind: an ELF shared object that is not an executable,
    // or a PE image (a DLL or an EXE).
    bool library = false;
    std::uint16_t machine = 0; // e_machine or IMAGE_FILE_HEADER.Machine
    bool wide = false;         // ELFCLASS64 or PE32+
    bool exported = false;     // the name is a defined export
};

// How the bytes lie: as stored in the file, or as the system loader maps a
// PE image (sections at their virtual addresses). ELF is always read as a file.
enum class ImageLayout { file, mapped };

ExportScan scanExports(const std::uint8_t* data, std::size_t size, std::string_view name,
                       ImageLayout layout = ImageLayout::file);

} // namespace platform

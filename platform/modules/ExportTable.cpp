#include "platform/modules/ExportTable.h"

#include <algorithm>
#include <optional>

namespace platform {
namespace {

// Bounds-checked reads of little- or big-endian integers at an offset.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size, bool bigEndian = false)
        : m_data(data)
        , m_size(size)
        , m_bigEndian(bigEndian)
    {
    }

    std::size_t size() const { return m_size; }

    std::optional<std::uint64_t> read(std::uint64_t offset, unsigned width) const
    {
        if (offset > m_size || m_size - offset < width) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) {
            const unsigned byte = m_bigEndian ? i : width - 1 - i;
            value = (value << 8) | m_data[offset + byte];
        }
        return value;
    }

    // True when a NUL-terminated text starting at offset, and ending before
    // limit, equals name.
    bool textEquals(std::uint64_t offset, std::uint64_t limit, std::string_view name) const
    {
        if (limit > m_size) {
            limit = m_size;
        }
        if (offset >= limit || limit - offset <= name.size()) {
            return false;
        }
        return std::string_view(reinterpret_cast<const char*>(m_data + offset), name.size()) == name &&
               m_data[offset + name.size()] == 0;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    bool m_bigEndian;
};

// ---- ELF: the dynamic segment and its hash tables, as the loader reads them.

constexpr std::uint64_t kPtLoad = 1;
constexpr std::uint64_t kPtDynamic = 2;
constexpr std::uint64_t kEtDyn = 3;
constexpr std::int64_t kDtHash = 4;
constexpr std::int64_t kDtStrtab = 5;
constexpr std::int64_t kDtSymtab = 6;
constexpr std::int64_t kDtStrsz = 10;
constexpr std::int64_t kDtSyment = 11;
constexpr std::int64_t kDtGnuHash = 0x6ffffef5;
constexpr std::int64_t kDtFlags1 = 0x6ffffffb;
constexpr std::uint64_t kDf1Pie = 0x08000000;

class ElfReader {
public:
    ElfReader(const Bytes& bytes, bool wide)
        : m_bytes(bytes)
        , m_wide(wide)
    {
    }

    std::optional<std::uint64_t> u16(std::uint64_t at) const { return m_bytes.read(at, 2); }
    std::optional<std::uint64_t> u32(std::uint64_t at) const { return m_bytes.read(at, 4); }
    std::optional<std::uint64_t> word(std::uint64_t at) const { return m_bytes.read(at, m_wide ? 8 : 4); }

    void scan(std::string_view name, ExportScan& scan)
    {
        const auto type = u16(16);
        const auto phoff = word(m_wide ? 32 : 28);
        const auto phentsize = u16(m_wide ? 54 : 42);
        const auto phnum = u16(m_wide ? 56 : 44);
        const unsigned minimumEntry = m_wide ? 56 : 32;
        if (!type || !phoff || !phentsize || !phnum || *phentsize < minimumEntry) {
            return;
        }
        std::optional<std::uint64_t> dynamicOffset, dynamicSize;
        for (std::uint64_t i = 0; i < *phnum; ++i) {
            const std::uint64_t at = *phoff + i * *phentsize;
            const auto pType = u32(at);
            const auto offset = word(at + (m_wide ? 8 : 4));
            const auto vaddr = word(at + (m_wide ? 16 : 8));
            const auto fileSize = word(at + (m_wide ? 32 : 16));
            if (!pType || !offset || !vaddr || !fileSize) {
                return;
            }
            if (*pType == kPtDynamic) {
                dynamicOffset = offset;
                dynamicSize = fileSize;
            } else if (*pType == kPtLoad && m_loadCount < kMaxLoads) {
                m_loads[m_loadCount++] = {*vaddr, *offset, *fileSize};
            }
        }
        if (*type != kEtDyn || !dynamicOffset) {
            return;
        }

        std::optional<std::uint64_t> strtab, symtab, strsz, hash, gnuHash;
        std::uint64_t syment = m_wide ? 24 : 16;
        std::uint64_t flags1 = 0;
        const unsigned entrySize = m_wide ? 16 : 8;
        for (std::uint64_t at = *dynamicOffset; *dynamicSize >= entrySize && at <= *dynamicOffset + *dynamicSize - entrySize;
             at += entrySize) {
            const auto tagWord = word(at);
            const auto value = word(at + entrySize / 2);
            if (!tagWord || !value) {
                return;
            }
            const std::int64_t tag = m_wide ? static_cast<std::int64_t>(*tagWord)
                                            : static_cast<std::int32_t>(static_cast<std::uint32_t>(*tagWord));
            if (tag == 0) {
                break;
            }
            switch (tag) {
            case kDtStrtab: strtab = value; break;
            case kDtSymtab: symtab = value; break;
            case kDtStrsz: strsz = value; break;
            case kDtSyment: syment = *value; break;
            case kDtHash: hash = value; break;
            case kDtGnuHash: gnuHash = value; break;
            case kDtFlags1: flags1 = *value; break;
            default: break;
            }
        }
        // The loader refuses to open an executable, position-independent or not.
        scan.library = (flags1 & kDf1Pie) == 0;
        if (!scan.library || !strtab || !symtab || !strsz || syment < (m_wide ? 24u : 16u)) {
            return;
        }
        m_strtab = toOffset(*strtab);
        m_symtab = toOffset(*symtab);
        m_strsz = *strsz;
        m_syment = syment;
        if (!m_strtab || !m_symtab) {
            return;
        }
        if (gnuHash) {
            scan.exported = lookUpGnu(*gnuHash, name);
        } else if (hash) {
            scan.exported = lookUpSysV(*hash, name);
        }
    }

private:
    struct Load {
        std::uint64_t vaddr, offset, fileSize;
    };
    static constexpr std::size_t kMaxLoads = 16;

    std::optional<std::uint64_t> toOffset(std::uint64_t address) const
    {
        for (std::size_t i = 0; i < m_loadCount; ++i) {
            const Load& load = m_loads[i];
            if (address >= load.vaddr && address - load.vaddr < load.fileSize) {
                return load.offset + (address - load.vaddr);
            }
        }
        return std::nullopt;
    }

    // A defined, visible symbol of that name at index i, as the loader would
    // bind to it.
    bool symbolMatches(std::uint64_t i, std::string_view name) const
    {
        const std::uint64_t at = *m_symtab + i * m_syment;
        if (i > m_bytes.size() / m_syment) {
            return false;
        }
        const auto nameOffset = u32(at);
        const auto info = m_bytes.read(at + (m_wide ? 4 : 12), 1);
        const auto section = u16(at + (m_wide ? 6 : 14));
        const auto value = word(at + (m_wide ? 8 : 4));
        if (!nameOffset || !info || !section || !value || *section == 0 || *nameOffset >= m_strsz) {
            return false;
        }
        const unsigned binding = static_cast<unsigned>(*info >> 4);
        const unsigned type = static_cast<unsigned>(*info & 0xf);
        constexpr unsigned kTls = 6;
        const bool boundable = binding == 1 || binding == 2 || binding == 10; // global, weak, unique
        const bool kind = type <= 2 || type == 5 || type == kTls || type == 10; // notype, object, func, common, ifunc
        if (!boundable || !kind || (*value == 0 && type != kTls)) {
            return false;
        }
        return m_bytes.textEquals(*m_strtab + *nameOffset, *m_strtab + m_strsz, name);
    }

    bool lookUpGnu(std::uint64_t address, std::string_view name) const
    {
        const auto table = toOffset(address);
        if (!table) {
            return false;
        }
        const auto buckets = u32(*table);
        const auto symbolBase = u32(*table + 4);
        const auto bloomWords = u32(*table + 8);
        if (!buckets || !symbolBase || !bloomWords || *buckets == 0) {
            return false;
        }
        std::uint32_t h = 5381;
        for (const char c : name) {
            h = h * 33 + static_cast<unsigned char>(c);
        }
        const std::uint64_t bucketArray = *table + 16 + *bloomWords * (m_wide ? 8 : 4);
        const std::uint64_t chainArray = bucketArray + *buckets * 4;
        const auto first = u32(bucketArray + (h % *buckets) * 4);
        if (!first || *first < *symbolBase) {
            return false;
        }
        // Each step reads four bytes further on, so a chain without its end
        // mark runs out of the buffer and stops.
        for (std::uint64_t i = *first;; ++i) {
            const auto chained = u32(chainArray + (i - *symbolBase) * 4);
            if (!chained) {
                return false;
            }
            if ((*chained | 1) == (h | 1) && symbolMatches(i, name)) {
                return true;
            }
            if (*chained & 1) {
                return false;
            }
        }
    }

    bool lookUpSysV(std::uint64_t address, std::string_view name) const
    {
        const auto table = toOffset(address);
        if (!table) {
            return false;
        }
        const auto buckets = u32(*table);
        const auto chains = u32(*table + 4);
        if (!buckets || !chains || *buckets == 0) {
            return false;
        }
        std::uint32_t h = 0;
        for (const char c : name) {
            h = (h << 4) + static_cast<unsigned char>(c);
            const std::uint32_t high = h & 0xf0000000u;
            h ^= high >> 24;
            h &= ~high;
        }
        auto i = u32(*table + 8 + (h % *buckets) * 4);
        // At most one visit per chain entry, and no more entries than the
        // file can hold, so a cycle cannot hold us.
        const std::uint64_t steps = std::min<std::uint64_t>(*chains, m_bytes.size() / 4);
        for (std::uint64_t step = 0; i && *i != 0 && *i < *chains && step < steps; ++step) {
            if (symbolMatches(*i, name)) {
                return true;
            }
            i = u32(*table + 8 + *buckets * 4 + *i * 4);
        }
        return false;
    }

    const Bytes& m_bytes;
    bool m_wide;
    Load m_loads[kMaxLoads] = {};
    std::size_t m_loadCount = 0;
    std::optional<std::uint64_t> m_strtab, m_symtab;
    std::uint64_t m_strsz = 0;
    std::uint64_t m_syment = 0;
};

void scanElf(const std::uint8_t* data, std::size_t size, std::string_view name, ExportScan& scan)
{
    if (size < 16) {
        return;
    }
    const std::uint8_t elfClass = data[4];
    const std::uint8_t encoding = data[5];
    if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2)) {
        return;
    }
    const Bytes bytes(data, size, encoding == 2);
    ElfReader reader(bytes, elfClass == 2);
    const auto machine = reader.u16(18);
    if (!machine) {
        return;
    }
    scan.wide = elfClass == 2;
    scan.machine = static_cast<std::uint16_t>(*machine);
    reader.scan(name, scan);
}

// ---- PE: the export directory, found through the section table.

class PeReader {
public:
    PeReader(const Bytes& bytes, ImageLayout layout)
        : m_bytes(bytes)
        , m_layout(layout)
    {
    }

    void scan(std::string_view name, ExportScan& scan)
    {
        const auto peOffset = m_bytes.read(0x3c, 4);
        if (!peOffset || m_bytes.read(*peOffset, 4) != std::optional<std::uint64_t>(0x00004550)) {
            return;
        }
        const std::uint64_t fileHeader = *peOffset + 4;
        const auto machine = m_bytes.read(fileHeader, 2);
        const auto sections = m_bytes.read(fileHeader + 2, 2);
        const auto optionalSize = m_bytes.read(fileHeader + 16, 2);
        const auto characteristics = m_bytes.read(fileHeader + 18, 2);
        const std::uint64_t optional = fileHeader + 20;
        const auto magic = m_bytes.read(optional, 2);
        if (!machine || !sections || !optionalSize || !characteristics || !magic ||
            (*magic != 0x10b && *magic != 0x20b)) {
            return;
        }
        scan.machine = static_cast<std::uint16_t>(*machine);
        scan.wide = *magic == 0x20b;
        const std::uint64_t directoryCountAt = optional + (scan.wide ? 108 : 92);
        const auto directoryCount = m_bytes.read(directoryCountAt, 4);
        const auto headersSize = m_bytes.read(optional + 60, 4);
        if (!directoryCount || !headersSize || directoryCountAt + 4 > optional + *optionalSize) {
            return;
        }
        m_sectionTable = optional + *optionalSize;
        m_sectionCount = *sections;
        m_headersSize = *headersSize;
        if (!m_bytes.read(m_sectionTable + m_sectionCount * 40, 0)) {
            return;
        }
        constexpr std::uint64_t kExecutableImage = 0x0002;
        scan.library = (*characteristics & kExecutableImage) != 0;
        if (!scan.library || *directoryCount == 0 || directoryCountAt + 12 > optional + *optionalSize) {
            return;
        }
        const auto exportRva = m_bytes.read(directoryCountAt + 4, 4);
        const auto exportSize = m_bytes.read(directoryCountAt + 8, 4);
        if (!exportRva || !exportSize || *exportRva == 0 || *exportSize == 0) {
            return;
        }
        scan.exported = lookUp(*exportRva, name);
    }

private:
    std::optional<std::uint64_t> toOffset(std::uint64_t rva) const
    {
        if (m_layout == ImageLayout::mapped) {
            return rva < m_bytes.size() ? std::optional<std::uint64_t>(rva) : std::nullopt;
        }
        for (std::uint64_t i = 0; i < m_sectionCount; ++i) {
            const std::uint64_t at = m_sectionTable + i * 40;
            const auto address = m_bytes.read(at + 12, 4);
            const auto rawSize = m_bytes.read(at + 16, 4);
            const auto rawOffset = m_bytes.read(at + 20, 4);
            if (address && rawSize && rawOffset && rva >= *address && rva - *address < *rawSize) {
                return *rawOffset + (rva - *address);
            }
        }
        return rva < m_headersSize ? std::optional<std::uint64_t>(rva) : std::nullopt;
    }

    std::optional<std::uint64_t> u32AtRva(std::uint64_t rva) const
    {
        const auto offset = toOffset(rva);
        return offset ? m_bytes.read(*offset, 4) : std::nullopt;
    }

    bool lookUp(std::uint64_t directoryRva, std::string_view name) const
    {
        const auto functions = u32AtRva(directoryRva + 20);
        const auto names = u32AtRva(directoryRva + 24);
        const auto functionTable = u32AtRva(directoryRva + 28);
        const auto nameTable = u32AtRva(directoryRva + 32);
        const auto ordinalTable = u32AtRva(directoryRva + 36);
        if (!functions || !names || !functionTable || !nameTable || !ordinalTable) {
            return false;
        }
        // A count larger than the file is cut short by the first read outside it.
        for (std::uint64_t i = 0; i < *names; ++i) {
            const auto nameRva = u32AtRva(*nameTable + i * 4);
            if (!nameRva) {
                return false;
            }
            const auto nameOffset = toOffset(*nameRva);
            if (!nameOffset || !m_bytes.textEquals(*nameOffset, m_bytes.size(), name)) {
                continue;
            }
            const auto ordinalOffset = toOffset(*ordinalTable + i * 2);
            const auto ordinal = ordinalOffset ? m_bytes.read(*ordinalOffset, 2) : std::nullopt;
            if (!ordinal || *ordinal >= *functions) {
                return false;
            }
            const auto address = u32AtRva(*functionTable + *ordinal * 4);
            return address && *address != 0;
        }
        return false;
    }

    const Bytes& m_bytes;
    ImageLayout m_layout;
    std::uint64_t m_sectionTable = 0;
    std::uint64_t m_sectionCount = 0;
    std::uint64_t m_headersSize = 0;
};

} // namespace

ExportScan scanExports(const std::uint8_t* data, std::size_t size, std::string_view name, ImageLayout layout)
{
    ExportScan scan;
    if (data == nullptr) {
        return scan;
    }
    if (size >= 4 && data[0] == 0x7f && data[1] == 'E' && data[2] == 'L' && data[3] == 'F') {
        scan.format = ExportScan::Format::elf;
        scanElf(data, size, name, scan);
    } else if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        scan.format = ExportScan::Format::pe;
        const Bytes bytes(data, size);
        PeReader(bytes, layout).scan(name, scan);
    }
    if (!scan.library) {
        scan.exported = false;
    }
    return scan;
}

} // namespace platform

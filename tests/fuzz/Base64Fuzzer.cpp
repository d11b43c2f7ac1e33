// Base64Encode against OpenSSL's decoder: what it writes decodes to its
// input, in lines of 64 characters each ending in "\n", after the text
// already in the buffer; it returns the character count, refuses exactly
// when the room left is below the size it reports as needed, and then
// writes nothing.

#include "Base64Decode.h"
#include "FuzzCheck.h"

#include "CertificateRecords.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::size_t used = provider.ConsumeIntegralInRange<std::size_t>(0, 70);
    const int slack = provider.ConsumeIntegralInRange<int>(-3, 3);
    const std::vector<unsigned char> input = provider.ConsumeRemainingBytes<unsigned char>();
    const auto length = static_cast<unsigned>(input.size());

    unsigned needed = 0;
    const int reported = Base64Encode(input.data(), length, nullptr, &needed);
    FUZZ_CHECK(reported > 0 && static_cast<unsigned>(reported) == needed);
    char untouched = '\0';
    unsigned zeroRoom = 0;
    FUZZ_CHECK(Base64Encode(input.data(), length, &untouched, &zeroRoom) == reported);
    FUZZ_CHECK(zeroRoom == needed && untouched == '\0');

    // Exactly `room` bytes on the heap: some text, its NUL, then filler.
    const std::size_t room = std::max<std::ptrdiff_t>(
        static_cast<std::ptrdiff_t>(used + 1), static_cast<std::ptrdiff_t>(used + needed) + slack);
    std::vector<char> buffer(room, '#');
    std::fill_n(buffer.begin(), used, 'p');
    buffer[used] = '\0';
    const std::vector<char> before = buffer;
    unsigned capacity = static_cast<unsigned>(room);
    const int encoded = Base64Encode(input.data(), length, buffer.data(), &capacity);

    if (room - used < needed) {
        FUZZ_CHECK(encoded == -1 && capacity == room && buffer == before);
        return 0;
    }
    FUZZ_CHECK(encoded >= 0 && capacity == needed);
    FUZZ_CHECK(std::equal(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(used), buffer.begin()));
    const std::string text(buffer.data() + used);
    const std::size_t end = used + text.size() + 1;
    FUZZ_CHECK(text.size() + 1 <= needed && end <= room);
    FUZZ_CHECK(std::equal(before.begin() + static_cast<std::ptrdiff_t>(end), before.end(),
                          buffer.begin() + static_cast<std::ptrdiff_t>(end)));

    // Full lines of 64, then one shorter line, possibly empty; each ends in "\n".
    std::size_t characters = 0;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        const std::size_t lineEnd = text.find('\n', lineStart);
        FUZZ_CHECK(lineEnd != std::string::npos);
        const std::size_t line = lineEnd - lineStart;
        characters += line;
        lineStart = lineEnd + 1;
        FUZZ_CHECK(lineStart == text.size() ? line < 64 : line == 64);
    }
    FUZZ_CHECK(characters == static_cast<std::size_t>(encoded) && characters % 4 == 0);
    FUZZ_CHECK(decodeBase64(text) == input);
    FUZZ_CHECK(base64Text(input.data(), input.size()) == text);
    return 0;
}

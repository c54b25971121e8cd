// The version index as a server sends it (ReadIndexFields), and the numbers
// read from its fields and from the settings file (LeadingNumber,
// HasLeadingNumber, ToVersion).
#include <cmath>

#include "fuzz_support.h"
#include "update/formats/repository.h"

namespace {

// Each field on a line of its own, in quotes unless it holds one: a field
// read from quotes may hold commas and outer blanks, one read without them
// holds neither commas nor outer blanks, nor starts with a quote.
std::string WrittenAgain(const std::vector<IndexField>& fields) {
    std::string text;
    for (const IndexField& field : fields) {
        text += field.text.find('"') == std::string::npos ? '"' + field.text + '"' : field.text;
        text += "\r\n";
    }
    return text;
}

void CheckNumber(std::string_view text) {
    const double value = LeadingNumber(text);
    FUZZ_CHECK(!std::isnan(value));
    // Whatever LeadingNumber reads as a number other than 0, HasLeadingNumber sees.
    if (value != 0) FUZZ_CHECK(HasLeadingNumber(text));
    // Rounded to the nearest, halves to even: -32768.5 is -32768, 32767.5 is 32768.
    const std::optional<std::int16_t> version = ToVersion(value);
    FUZZ_CHECK(version.has_value() == (value >= -32768.5 && value < 32767.5));
    if (version) FUZZ_CHECK(std::fabs(*version - value) <= 0.5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content = fuzz::Text(data, size);
    const std::vector<IndexField> fields = ReadIndexFields(content);
    for (const IndexField& field : fields) {
        FUZZ_CHECK(field.text.find_first_of("\r\n") == std::string::npos);
        CheckNumber(field.text);
    }
    const std::vector<IndexField> again = ReadIndexFields(WrittenAgain(fields));
    FUZZ_CHECK(again.size() == fields.size());
    for (std::size_t k = 0; k < fields.size() && k < again.size(); ++k)
        FUZZ_CHECK(again[k].text == fields[k].text);
    // The settings file's version is read from one whole value.
    CheckNumber(content);
    return 0;
}

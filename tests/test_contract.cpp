// The failure messages are documented in two places, the public header and
// the README's reference, and set in one, the library's sources. These
// tests keep the three in step: a message added, reworded or dropped in one
// place and not the others fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

using message_set = std::set<std::string>;

// Guards of internal functions that no call of the public interface can
// reach: their callers check the same condition first, or pass buffers and
// arguments that are valid by construction. Listed so that a new message
// must be documented or deliberately added here.
const message_set INTERNAL_ONLY = {
    "qr_encode_matrix: NULL argument",           // every caller checks text first
    "qr_encode_matrix: empty text",              // likewise
    "qr_build_geo: buffer too small",            // 64 bytes hold any in-range pair
    "qr_png_write_mem: bad args",                // always given a drawn canvas
    "qr_png_write_file: bad args",               // used by no public function
    "qr_png_write_file: stbi_write_png failed",  // likewise
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every message in C string-literal form ("qr_name: what", with \" for a
// quote) in `text`; comments of the header use the same form.
message_set quoted_messages(const std::string &text) {
    static const std::regex literal(R"re("(qr_[a-z_]+: (?:[^"\\\n]|\\.)*)")re");
    message_set found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), literal);
         it != std::sregex_iterator(); ++it) {
        found.insert(std::regex_replace((*it)[1].str(), std::regex(R"(\\(.))"), "$1"));
    }
    return found;
}

// The README writes a message in double quotes, or in backticks when it
// holds a double quote itself.
message_set readme_messages(const std::string &text) {
    message_set found = quoted_messages(text);
    static const std::regex code_span(R"(`(qr_[a-z_]+: [^`\n]*)`)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), code_span);
         it != std::sregex_iterator(); ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

// The README from its reference heading to the next second-level heading.
std::string readme_reference() {
    const std::string readme = slurp(fs::path(VQR_SOURCE_DIR) / "README.md");
    const auto begin = readme.find("### Reference: the 32 functions");
    EXPECT_NE(begin, std::string::npos) << "README has no reference section";
    if (begin == std::string::npos) return {};
    const auto end = readme.find("\n## ", begin);
    return readme.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

message_set source_messages() {
    message_set found;
    for (const auto &entry : fs::directory_iterator(fs::path(VQR_SOURCE_DIR) / "src")) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".cpp" && ext != ".h" && ext != ".c") continue;
        const message_set in_file = quoted_messages(slurp(entry.path()));
        found.insert(in_file.begin(), in_file.end());
    }
    return found;
}

message_set minus(const message_set &a, const message_set &b) {
    message_set out;
    for (const std::string &m : a) {
        if (!b.count(m)) out.insert(m);
    }
    return out;
}

// Every message of `part` is in `whole`; `what` names the ones that are not.
void expect_within(const message_set &part, const message_set &whole, const char *what) {
    std::string missing;
    for (const std::string &m : minus(part, whole)) missing += "\n  " + m;
    EXPECT_TRUE(missing.empty()) << what << missing;
}

TEST(Contract, ReadmeReferenceListsExactlyTheHeaderMessages) {
    const message_set header = quoted_messages(slurp(VQR_PUBLIC_HEADER));
    const message_set readme = readme_messages(readme_reference());
    ASSERT_FALSE(header.empty());
    expect_within(header, readme, "in the header, missing from the README reference:");
    expect_within(readme, header, "in the README reference, missing from the header:");
}

// The header documents exactly what the sources can set: no message is
// undocumented, and no documented message is misspelt or gone.
TEST(Contract, HeaderListsExactlyTheMessagesTheLibraryCanSet) {
    const message_set header = quoted_messages(slurp(VQR_PUBLIC_HEADER));
    const message_set source = source_messages();
    ASSERT_FALSE(source.empty());
    const message_set reachable = minus(source, INTERNAL_ONLY);
    expect_within(reachable, header, "set by the library, not in the header:");
    expect_within(header, reachable, "in the header, never set by the library:");
    expect_within(INTERNAL_ONLY, source, "listed as internal, gone from the sources:");
}

// The extraction itself: the escaped quote of the header's form and the
// backticked form of the README read as the same message.
TEST(Contract, BothDocumentFormsReadAsTheSameMessage) {
    const std::string header_form = R"(*   "qr_x: item missing string \"text\"" (note))";
    const std::string readme_form = R"(| `qr_x: item missing string "text"`, "qr_y: b" |)";
    EXPECT_EQ(quoted_messages(header_form), message_set{R"(qr_x: item missing string "text")"});
    EXPECT_EQ(readme_messages(readme_form),
              (message_set{R"(qr_x: item missing string "text")", "qr_y: b"}));
}

}  // namespace

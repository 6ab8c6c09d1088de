// The scanner against Python's email.header.decode_header over a corpus of
// Subject, From and To lines in many character sets, with adjacent, folded
// and malformed words. Every entry must match, except the intended
// differences listed below with their reasons.
#include "harness.h"
#include "process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Corpus entries as written in the file (escaped).
std::vector<std::string> Corpus(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> v;
    for (std::string line; std::getline(f, line);)
        if (!line.empty() && line[0] != '#') v.push_back(line);
    return v;
}

// Python's reading of each entry: UTF-8 text, or "!" and the error's name.
std::vector<std::string> PythonReadings(const std::string& script, const std::string& corpus) {
    std::string out;
    arbortest::Run(std::string(ARBOR_PYTHON) + " " + script + " " + corpus, &out);
    std::vector<std::string> v;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        v.push_back(line[0] == '!' ? line : FromHex(line));
    return v;
}

struct Intended {
    const char* reason;
    std::string ours; // what the scanner gives instead
};

// The entries where the scanner differs on purpose, keyed by the entry.
const std::map<std::string, Intended>& IntendedDifferences() {
    static const std::map<std::string, Intended> k = {
        {"Subject: =??q?empty_charset?=",
         {"a word whose charset is not registered stays as it was; Python fails on it",
          "Subject: =??q?empty_charset?="}},
        {"Subject: =?X-UNKNOWN?Q?abc?= unknown charset",
         {"a word whose charset is not registered stays as it was; Python fails on it",
          "Subject: =?X-UNKNOWN?Q?abc?= unknown charset"}},
        {"Subject: =?utf-8?b?!!!!####?= bad base64",
         {"bytes outside the base64 alphabet decode to whatever their bits give (the "
          "transfer decoder's rule); Python skips them",
          "Subject: \xFF\xFF\xFF\xFF\xFF\xFF bad base64"}},
        {"Subject: =?iso-8859-1?q?=ZZbad=escape?=",
         {"an escape is decoded without checking its digits (the quoted-printable "
          "decoder's rule); Python keeps invalid escapes as text",
          "Subject: Sbad\xC3\xBC"
          "cape"}},
    };
    return k;
}

TEST(WordsAgainstPython, DecodeHeaderGivesTheSameText) {
    const std::string dir = arbortest::SourceDir() + "/streams/tests/";
    const auto corpus = Corpus(dir + "words_corpus.txt");
    const auto python = PythonReadings(dir + "words_python.py", dir + "words_corpus.txt");
    ASSERT_GE(corpus.size(), 100u);
    ASSERT_EQ(python.size(), corpus.size()) << "python3 did not read the whole corpus";
    size_t matched = 0;
    for (size_t i = 0; i < corpus.size(); ++i) {
        const std::string ours = lwtest::RunCodec("RFC1522", 0, Unescape(corpus[i]));
        const auto it = IntendedDifferences().find(corpus[i]);
        if (it != IntendedDifferences().end()) {
            EXPECT_NE(ours, python[i]) << "no longer differs: " << corpus[i];
            EXPECT_EQ(ours, it->second.ours) << it->second.reason;
            continue;
        }
        EXPECT_EQ(ours, python[i]) << corpus[i];
        ++matched;
    }
    EXPECT_EQ(matched + IntendedDifferences().size(), corpus.size());
}

} // namespace

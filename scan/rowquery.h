// A search over rows as a collector types it, the same in the window's
// filter and in `vidarium-scan --where`: words (each somewhere in the row's
// cells), `-word` (none of them), quoted words with their spaces, and terms
// on the columns by name or alias: `lang:deu` (or `lang:german`),
// `codec:hevc`, `ext:mkv`, `height>=2160`, `fps<24`, `size>4G`,
// `length>1:30:00`, `drive:Films2`, and the flags `hdr` and `truncated`.
// A term that cannot be read is named with its reason, never passed over
// in silence.
#pragma once

#include "filerow.h"

#include <string>
#include <string_view>
#include <vector>

namespace vidarium {

struct QueryProblem {
    std::string Term;   // as typed
    std::string Reason; // "no field 'foo'", "'abc' is not a size"
};

class RowQuery {
public:
    // The terms of `text`, those it cannot read among Problems().
    static RowQuery Parse(std::string_view text);

    // Every word must appear in the row's cells, no excluded one may.
    const std::vector<std::string>& Words() const { return words_; }
    const std::vector<std::string>& ExcludedWords() const { return excludedWords_; }
    const std::vector<QueryProblem>& Problems() const { return problems_; }
    // No term at all, readable or not: every row.
    bool Empty() const { return words_.empty() && excludedWords_.empty() && terms_.empty(); }

    // Whether the row meets every field term and flag (the words aside).
    bool MatchesFields(const FileRow& row) const;
    // The whole search over the row, its words sought in `cells` (its text
    // as shown) with ASCII letters' case aside.
    bool Matches(const FileRow& row, std::string_view cells) const;

    // A row's cells as a list that shows the default columns shows them,
    // with the words that describe them (the languages' names).
    static std::string SearchText(const FileRow& row);

    // Each field's names, the first its own: "lang (language, alang)".
    static std::string FieldNamesText();

    enum class Compare { Is, Less, LessOrEqual, Greater, GreaterOrEqual };
    struct Term {
        std::size_t Field = 0; // in the field table
        Compare How = Compare::Is;
        std::string Text;  // lower case, for the text fields
        double Number = 0; // for the numeric ones
        bool Excluded = false;
    };

private:
    void Add(const std::string& typed);
    void AddFieldTerm(const std::string& typed, const std::string& name,
                      std::string_view comparison, bool excluded);

    std::vector<std::string> words_;
    std::vector<std::string> excludedWords_;
    std::vector<Term> terms_;
    std::vector<QueryProblem> problems_;
};

} // namespace vidarium

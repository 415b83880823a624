#include "apps/search/scoring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.h"

namespace brask {
namespace {

using Words = std::vector<std::string>;

JsonValue tool(std::string name, JsonValue title = nullptr, JsonValue description = nullptr) {
  JsonObject object{{"name", JsonValue(std::move(name))}};
  if (!title.is_null())
    object.set("title", std::move(title));
  if (!description.is_null())
    object.set("description", std::move(description));
  return JsonValue(std::move(object));
}

std::string repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out += piece;
  return out;
}

TEST(QueryWords, SplitsAtNonAlphanumericsAndLowerCases) {
  const struct {
    std::string_view query;
    Words want;
  } cases[] = {
      {"", {}},
      {" ,.;-_ ", {}},
      {"New-Layer", {"new", "layer"}},
      {"export_pdf", {"export", "pdf"}},
      {"blur blur", {"blur", "blur"}},
      {"  Gaussian   BLUR\t2x ", {"gaussian", "blur", "2x"}},
      // U+2014 EM DASH separates; U+00E9 LATIN SMALL LETTER E WITH ACUTE is a letter.
      {"caf\u00e9\u2014menu", {"caf\u00e9", "menu"}},
      // U+00C9 LATIN CAPITAL LETTER E WITH ACUTE lower-cases to U+00E9.
      {"\u00c9CLAIR", {"\u00e9clair"}},
      // Capital Greek; the word-final U+03A3 SIGMA becomes U+03C2 FINAL SIGMA.
      {"\u039f\u0394\u039f\u03a3", {"\u03bf\u03b4\u03bf\u03c2"}},
      // U+0130 LATIN CAPITAL LETTER I WITH DOT ABOVE lower-cases to i + U+0307.
      {"\u0130zmir", {"i\u0307zmir"}},
      // U+00B2 SUPERSCRIPT TWO is a number (No), so it stays in the word.
      {"x\u00b2", {"x\u00b2"}},
      {"a b c d e f g h i j k l m n o p q r",
       {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(query_words(c.query), c.want);
  }
}

TEST(ScoreTool, PointsPerWord) {
  const std::string long_ascii = repeat("x", 1995);
  // U+00E9 takes two bytes: the cut counts code points, not bytes.
  const std::string long_accented = repeat("\u00e9", 1995);
  const struct {
    std::string_view what;
    std::string_view query;
    JsonValue tool;
    uint32_t want;
  } cases[] = {
      {"no words match everything", "", tool("anything"), 1},
      {"punctuation only is no words", "--", tool("anything"), 1},
      {"whole word of the name", "blur", tool("gaussian_blur"), 3},
      {"word of the name begins with it", "blur", tool("blurry"), 2},
      {"run inside the name", "blur", tool("deblur"), 2},
      {"run inside a title word does not count", "blur", tool("sharpen", "Deblur"), 0},
      {"title whole word", "pdf", tool("export", "Export PDF"), 3},
      {"title word begins with it", "lay", tool("create", "New Layer"), 2},
      {"run inside a title word", "layer", tool("stack", "Multilayer"), 0},
      {"run inside a name word", "layer", tool("multilayer"), 2},
      {"description word begins with it", "blur", tool("filter", nullptr, "Blurs the image"), 1},
      {"description whole word is still 1", "image", tool("filter", nullptr, "Blurs the image"), 1},
      {"run inside a description word", "lurs", tool("filter", nullptr, "Blurs the image"), 0},
      {"no match anywhere", "rotate", tool("filter", "Filter", "Blurs the image"), 0},
      {"repeated words score twice", "blur blur", tool("gaussian_blur"), 6},
      {"points add up over words", "export pdf blur", tool("export_pdf", nullptr, "Blurred"), 7},
      {"name and title do not join into one word", "exportpdf", tool("export", "pdf"), 0},
      {"name run may not cross into the title", "tpd", tool("export", "pdf"), 0},
      {"non-string members count as empty", "blur", tool("x", JsonValue(5), JsonValue(true)), 0},
      {"name of a non-object tool is empty", "blur", JsonValue(JsonArray{}), 0},
      {"capital accented query", "\u00c9CLAIRCIR", tool("\u00e9claircir_image"), 3},
      {"accents are not folded", "\u03a3\u039f\u03a6\u0399\u0391",
       tool("x", "\u0392\u03b9\u03b2\u03bb\u03af\u03bf \u03a3\u03bf\u03c6\u03af\u03b1"), 0},
      {"capital Greek query, same letters", "\u039b\u0395\u03a5\u039a\u039f",
       tool("x", "\u039b\u03b5\u03c5\u03ba\u03bf \u03c6\u03cc\u03bd\u03c4\u03bf"), 3},
      // U+03A3 GREEK CAPITAL LETTER SIGMA at a word's end lower-cases to U+03C2 on both sides.
      {"capital Greek final sigma", "\u039f\u0394\u039f\u03a3",
       tool("x", "\u039f\u0394\u039f\u03a3 \u039c\u0395\u0393\u0391\u039b\u0397"), 3},
      // U+212A KELVIN SIGN lower-cases to the ASCII letter k.
      {"non-ASCII name folding to ASCII", "5k", tool("resize_5\u212a"), 3},
      {"description cut at 2000 characters keeps the last word", "blur",
       tool("x", nullptr, long_ascii + " blur"), 1},
      {"description cut at 2000 characters drops a later word", "blur",
       tool("x", nullptr, long_ascii + "x blur"), 0},
      {"cut counts characters, not bytes", "blur", tool("x", nullptr, long_accented + " blur"), 1},
      {"cut counts characters beyond 2000", "blur",
       tool("x", nullptr, long_accented + "\u00e9 blur"), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(score_tool(query_words(c.query), c.tool), c.want);
  }
}

// Texts are split several bytes at a time: a word must be found wherever it falls.
TEST(ScoreTool, WordsAtEveryOffset) {
  const Words blur = query_words("blur");
  for (size_t k = 0; k < 20; ++k) {
    SCOPED_TRACE(k);
    const std::string pad(k, 'X');
    const std::string gap = k == 0 ? "" : std::string(k - 1, 'x') + "_";
    EXPECT_EQ(score_tool(blur, tool("t", gap + "BLUR")), 3u);
    EXPECT_EQ(score_tool(blur, tool("t", gap + "Blur9 x")), 2u);
    EXPECT_EQ(score_tool(blur, tool("t", gap + "Blur 9")), 3u);
    EXPECT_EQ(score_tool(blur, tool("t", nullptr, gap + "bluRs")), 1u);
    EXPECT_EQ(score_tool(blur, tool("t", nullptr, gap + "BLU")), 0u);
    if (k > 0) {
      EXPECT_EQ(score_tool(blur, tool("t", pad + "Blur")), 0u);
      EXPECT_EQ(score_tool(blur, tool("t", nullptr, pad + "blur")), 0u);
      EXPECT_EQ(score_tool(blur, tool("t", nullptr, std::string(k, '7') + "blur")), 0u);
    }
  }
}

TEST(ScoreTool, SeventeenthWordIsIgnored) {
  std::string sixteen;
  for (int i = 0; i < 16; ++i)
    sixteen += " x" + std::to_string(i);
  EXPECT_EQ(score_tool(query_words(sixteen + " blur"), tool("gaussian_blur")), 0u);
  EXPECT_EQ(score_tool(query_words("blur" + sixteen), tool("gaussian_blur")), 3u);
}

TEST(ScoreTool, BoundedByThreePointsPerWord) {
  const Words words(MAX_QUERY_WORDS, "blur");
  EXPECT_EQ(score_tool(words, tool("blur", "Blur", "Blur")), 48u);
}

// The texts kept with a catalogue are packed tool after tool: each tool's name, title
// and description must score as they do on their own.
TEST(SearchTexts, ScoresEveryToolAsScoreToolDoes) {
  const std::string long_accented = repeat("\u00e9", 1999);
  const std::vector<JsonValue> tools = {
      tool("gaussian_blur", "Blur", "Softens the image."),
      JsonValue(JsonArray{}),
      tool("export", "Export PDF", JsonValue(3)),
      tool("stack", "Multilayer \u00c9CLAIR", long_accented + " blur"),
      tool("\u00e9claircir_image", nullptr, "Blurs the layer"),
      tool("resize_5\u212a"),
      tool("x", nullptr, repeat("x", 1995) + " layer pdf"),
      tool("x_y", "z", "relay lamp"),  // a start of the name is no start of the description
  };
  const SearchTexts texts(tools);
  const Words queries[] = {
      {},
      query_words("blur"),
      query_words("Export PDF layer \u00e9clair 5k"),
      query_words("image blur blur softens lay"),
      {"", "blur-", "pdf", "layer"},  // not from query_words: an empty and a non-word
      Words(20, "blur"),
  };
  for (const Words& words : queries) {
    std::vector<uint32_t> want;
    for (const JsonValue& t : tools)
      want.push_back(score_tool(words, t));
    EXPECT_EQ(texts.score_all(words), want);
  }
  EXPECT_TRUE(SearchTexts({}).score_all(query_words("blur")).empty());
}

TEST(OneLineSummary, FirstSentenceOrLineTrimmedAndCut) {
  const std::string s159 = repeat("a", 159);
  const std::string e159 = repeat("\u00e9", 159);
  const struct {
    std::string_view what;
    JsonValue tool;
    std::string want;
  } cases[] = {
      {"up to the full stop", tool("t", nullptr, "Apply a Gaussian blur.\nRadius in pixels."),
       "Apply a Gaussian blur."},
      {"full stop inside a number", tool("t", nullptr, "version 1.2 exporter"), "version 1."},
      {"up to the line feed", tool("t", nullptr, "First line\nSecond. line"), "First line"},
      {"carriage return before the line feed", tool("t", nullptr, "First\r\nSecond"), "First"},
      {"begins with a line feed", tool("t", nullptr, "\nSecond line."), ""},
      {"title without description", tool("t", "Crop"), "Crop"},
      {"empty description wins over title", tool("t", "Crop", ""), ""},
      {"non-string description falls back to title", tool("t", "Crop", JsonValue(3)), "Crop"},
      {"nothing to show", tool("t"), ""},
      {"non-string title and no description", tool("t", JsonValue(JsonArray{})), ""},
      {"white space trimmed", tool("t", nullptr, " \t Padded text  "), "Padded text"},
      // U+3000 IDEOGRAPHIC SPACE and U+00A0 NO-BREAK SPACE are White_Space.
      {"Unicode white space trimmed", tool("t", nullptr, "\u3000\u00a0Wide\u00a0"), "Wide"},
      {"160 characters stay whole", tool("t", nullptr, s159 + "b"), s159 + "b"},
      {"161 characters are cut", tool("t", nullptr, s159 + "bc"), s159 + "\u2026"},
      {"cut counts characters", tool("t", nullptr, e159 + "\u00e9\u00e9"), e159 + "\u2026"},
      {"160 two-byte characters stay whole", tool("t", nullptr, e159 + "b"), e159 + "b"},
      {"cut applies after the sentence", tool("t", nullptr, s159 + ".more"), s159 + "."},
      {"long text before the full stop", tool("t", nullptr, s159 + "bb. Next"), s159 + "\u2026"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(one_line_summary(c.tool), c.want);
  }
}

TEST(OneLineSummary, UsesTheWholeDescriptionNotTheMatchedPart) {
  const std::string text = repeat("a", 2500) + ".";
  EXPECT_EQ(one_line_summary(tool("t", nullptr, text)), repeat("a", 159) + "\u2026");
}

std::vector<std::string> tools_of(const std::vector<ToolHit>& hits) {
  std::vector<std::string> out;
  for (const ToolHit& h : hits)
    out.push_back(h.app + "/" + h.tool);
  return out;
}

TEST(RankHits, OrdersByScoreKeepingGatheringOrderOnTies) {
  std::vector<ToolHit> hits = {
      {"a", "one", "", 1},  {"a", "two", "", 3},  {"b", "three", "", 2},
      {"b", "four", "", 3}, {"c", "five", "", 1}, {"c", "six", "", 2},
  };
  EXPECT_EQ(tools_of(rank_hits(hits, 20)),
            (std::vector<std::string>{"a/two", "b/four", "b/three", "c/six", "a/one", "c/five"}));
  EXPECT_EQ(tools_of(rank_hits(hits, 3)), (std::vector<std::string>{"a/two", "b/four", "b/three"}));
}

TEST(RankHits, LimitIsBounded) {
  std::vector<ToolHit> many;
  for (int i = 0; i < 80; ++i)
    many.push_back({"app", "t" + std::to_string(i), "", 1});
  const struct {
    uint64_t limit;
    size_t want;
  } cases[] = {{0, 1}, {1, 1}, {20, 20}, {50, 50}, {51, 50}, {500, 50}, {UINT64_MAX, 50}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    auto ranked = rank_hits(many, c.limit);
    ASSERT_EQ(ranked.size(), c.want);
    EXPECT_EQ(ranked.front().tool, "t0");
    EXPECT_EQ(ranked.back().tool, "t" + std::to_string(c.want - 1));
  }
  EXPECT_TRUE(rank_hits({}, 20).empty());
}

}  // namespace
}  // namespace brask

// What the sample apps' tools do to their documents, seen only through tool calls:
// each script runs in one app process, so every step sees the effects of the ones before.
#include <gtest/gtest.h>

#include <string>

#include "samples/app_session.h"

namespace brask::testing {
namespace {

struct Step {
  const char* tool;
  const char* arguments;
  // The result text; when it starts with "{", the compact form of the JSON it holds.
  const char* want;
  bool is_error = false;
};

void run_script(const char* app_name, std::initializer_list<Step> steps) {
  AppSession app({app_name});
  ASSERT_EQ(app.error(), "");
  int number = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE("step " + std::to_string(++number) + ": " + step.tool + " " + step.arguments);
    auto arguments = parse_json(step.arguments);
    ASSERT_TRUE(arguments.ok()) << arguments.error();
    auto result = app.call(step.tool, *arguments);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(is_error_result(*result), step.is_error);
    std::string text = result_text(*result);
    if (step.want[0] == '{') {
      auto value = parse_json(text);
      ASSERT_TRUE(value.ok()) << text;
      EXPECT_EQ(render_compact(*value), step.want);
    } else {
      EXPECT_EQ(text, step.want);
    }
  }
}

TEST(Lumeno, LayersFiltersUndoAndExports) {
  run_script(
      "lumeno",
      {
          {"add_layer", R"({"name": "Sky"})",
           "Added layer 2 \"Sky\" at the top. The image has 2 layers."},
          {"apply_gaussian_blur", R"({"layer": "sky", "radius": 4})",
           "Applied gaussian blur, radius 4 px to layer 2 \"Sky\"."},
          {"list_layers", "{}",
           R"({"layers":[{"blendMode":"normal","effects":["gaussian blur, radius 4 px"],"id":2,"kind":"raster","name":"Sky","opacity":100,"position":2,"visible":true},)"
           R"({"blendMode":"normal","color":"#ffffff","effects":[],"id":1,"kind":"fill","name":"Background","opacity":100,"position":1,"visible":true}]})"},
          {"undo", "{}", "Undid 1 step."},
          {"list_layers", "{}",
           R"({"layers":[{"blendMode":"normal","effects":[],"id":2,"kind":"raster","name":"Sky","opacity":100,"position":2,"visible":true},)"
           R"({"blendMode":"normal","color":"#ffffff","effects":[],"id":1,"kind":"fill","name":"Background","opacity":100,"position":1,"visible":true}]})"},
          {"select_rectangle", R"({"x": 0, "y": 0, "width": 2000, "height": 10})",
           "the selection reaches outside the image (1920 x 1080 px)", true},
          {"select_rectangle", R"({"x": 10, "y": 20, "width": 100, "height": 50})",
           "Selected 100 x 50 px at 10,20. Filters and fills now apply inside it."},
          {"apply_sharpen", R"({"layer": "2"})",
           "Applied sharpen, amount 50% (inside the selection) to layer 2 \"Sky\"."},
          {"move_layer", R"({"layer": "Sky", "position": 1})",
           "Moved \"Sky\" to position 1 (1 is the bottom)."},
          {"merge_down", R"({"layer": "Sky"})",
           "the bottom layer has nothing below it to merge into", true},
          {"merge_down", R"({"layer": "Background"})", "Merged \"Background\" into \"Sky\"."},
          {"delete_layer", R"({"layer": "Sky"})", "an image keeps at least one layer", true},
          {"rotate_image", R"({"degrees": "90"})",
           "Rotated the image by 90 degrees; it is now 1080 x 1920 px."},
          {"export_png", R"({"fileName": "poster", "scale": 0.5})",
           R"({"file":"poster.png","format":"png","height":960,"layers":1,"transparent":false,"width":540})"},
          {"export_pdf", R"({"fileName": "poster.PDF"})",
           R"({"dpi":300,"file":"poster.PDF","format":"pdf","height":1920,"layers":1,"width":1080})"},
          {"list_exports", "{}",
           R"({"exports":[{"file":"poster.png","format":"png","height":960,"layers":1,"transparent":false,"width":540},)"
           R"({"dpi":300,"file":"poster.PDF","format":"pdf","height":1920,"layers":1,"width":1080}]})"},
          {"get_image_info", "{}",
           R"({"height":1920,"layers":1,"title":"Untitled","undoSteps":5,"width":1080})"},
          {"render_preview", R"({"seconds": 0})",
           "Rendered a 800 px wide preview of \"Untitled\" (1 layer, 2 effects) in 0 s."},
          {"new_image", R"({"width": 640, "height": 480, "title": "Card"})",
           "Created \"Card\", 640 x 480 px, with one background layer."},
          {"undo", R"({"steps": 50})", "Undid 6 steps."},
          {"get_image_info", "{}",
           R"({"height":1080,"layers":1,"title":"Untitled","undoSteps":0,"width":1920})"},
      });
}

TEST(Scribola, ParagraphsStylesCommentsAndMenuCommands) {
  run_script(
      "scribola",
      {
          {"add_paragraph", R"({"text": "Quarterly report", "style": "Title"})",
           "Inserted paragraph 1 (Title). The document has 1 paragraphs."},
          {"add_paragraph", R"({"text": "Sales  grew  in  spring."})",
           "Inserted paragraph 2 (Body). The document has 2 paragraphs."},
          {"add_paragraph", R"({"text": "Summary", "style": "Heading 1", "position": 2})",
           "Inserted paragraph 2 (Heading 1). The document has 3 paragraphs."},
          {"add_paragraph", R"({"text": "x", "style": "Fancy"})",
           "no style `Fancy`; the styles are Body, Code, Heading 1, Heading 2, Quote, Title", true},
          {"add_comment", R"({"paragraph": 3, "text": "Which figures?"})",
           "Added comment 4 to paragraph 3."},
          {"run_command", R"({"command": "text.collapse_spaces"})", "Removed 3 extra spaces."},
          {"run_command", R"({"command": "text.uppercase"})", "`text.uppercase` needs `paragraph`",
           true},
          {"run_command", R"({"command": "text.uppercase", "paragraph": 2})",
           "Ran UPPERCASE on paragraph 2: \"SUMMARY\""},
          {"run_command", R"({"command": "text.sentence_case", "paragraph": 2})",
           "Ran Sentence case on paragraph 2: \"Summary\""},
          {"run_command", R"({"command": "text.lowercase", "paragraph": 2})",
           "Ran lowercase on paragraph 2: \"summary\""},
          {"run_command", R"({"command": "text.uppercase", "paragraph": 2})",
           "Ran UPPERCASE on paragraph 2: \"SUMMARY\""},
          {"list_commands", R"({"filter": "HYPHEN"})",
           R"({"commands":[{"command":"tools.hyphenation","description":"Turns automatic hyphenation of long words on or off.","title":"Automatic hyphenation"}]})"},
          {"run_command", R"({"command": "tools.hyphenation"})",
           "Automatic hyphenation is now on."},
          {"replace_text", R"({"find": "SPRING", "replace": "autumn"})", "Replaced 1 occurrences."},
          {"find_text", R"({"text": "autumn", "matchCase": true})",
           R"({"matches":[{"count":1,"paragraph":3}]})"},
          {"list_paragraphs", "{}",
           R"({"paragraphs":[{"paragraph":1,"style":"Title","text":"Quarterly report","words":2},)"
           R"({"paragraph":2,"style":"Heading 1","text":"SUMMARY","words":1},)"
           R"({"paragraph":3,"style":"Body","text":"Sales grew in autumn.","words":4}]})"},
          {"list_comments", "{}",
           R"({"comments":[{"comment":4,"paragraph":3,"resolved":false,"text":"Which figures?"}]})"},
          {"move_paragraph", R"({"paragraph": 3, "position": 1})",
           "Moved paragraph 3 to position 1."},
          {"list_comments", "{}",
           R"({"comments":[{"comment":4,"paragraph":1,"resolved":false,"text":"Which figures?"}]})"},
          {"delete_paragraph", R"({"paragraph": 1})",
           "Deleted paragraph 1. The document has 2 paragraphs."},
          {"get_document_info", "{}",
           R"({"hyphenation":true,"openComments":0,"page":{"columns":1,"marginMm":25,"orientation":"portrait","size":"A4"},"paragraphs":2,"title":"Untitled","trackChanges":false,"words":3,"zoomPercent":100})"},
          {"word_count", R"({"paragraph": 9})", "`paragraph` must be from 1 to 2", true},
          {"export_document", R"({"fileName": "report.odt", "format": "odt"})",
           R"({"file":"report.odt","format":"odt","pageSize":"A4","paragraphs":2,"title":"Untitled","words":3})"},
          {"undo", "{}", "Undid 1 step."},
          {"get_paragraph", R"({"paragraph": 1})",
           R"({"paragraph":1,"style":"Body","text":"Sales grew in autumn.","words":4})"},
      });
}

TEST(Tabulo, FormulasFollowTheirInputs) {
  AppSession app({"tabulo"});
  // A1=2 B1=3 C1="x" / A2=4 B2=A1+A2 / the sheet "Rates" holds 0.5 in A1.
  for (auto [tool, arguments] :
       {std::pair{"set_range", R"({"start": "A1", "rows": [[2, 3, "x"], [4, "=A1+A2"]]})"},
        {"add_sheet", R"({"name": "Rates"})"},
        {"add_sheet", R"({"name": "Q 1"})"},
        {"set_cell", R"({"sheet": "rates", "cell": "a1", "value": 0.5})"},
        {"set_cell", R"({"sheet": "Q 1", "cell": "B2", "value": "7"})"},
        {"set_cell", R"({"cell": "A3", "value": "=A4"})"},
        {"set_cell", R"({"cell": "A4", "value": "=A3+1"})"},
        {"define_name", R"({"name": "Top", "range": "A1:B1"})"}}) {
    auto result = app.call(tool, *parse_json(arguments));
    ASSERT_TRUE(result.ok() && !is_error_result(*result)) << arguments;
  }
  const struct {
    const char* formula;
    const char* value;
  } cases[] = {
      {"1+2*3", "7"},
      {"(1+2)*3", "9"},
      {"2^10", "1024"},
      {"-A1+10", "8"},
      {"SUM(A1:B2)", "15"},
      {"sum(b2:a1)", "15"},
      {"COUNT(A1:C2)", "4"},
      {"MAX(A1:B2)-MIN(A1:B2)", "4"},
      {"AVERAGE(A1, B1, 4)", "3"},
      {"SUM(Top)*Rates!A1", "2.5"},
      {"'Q 1'!B2+1", "8"},
      {"$A$1*B$1", "6"},
      {"ROUND(10/3, 2)", "3.33"},
      {"ABS(-A2)", "4"},
      {"IF(A1>1, \"big\", \"small\")", "\"big\""},
      {"IF(A1<>2, 1)", "0"},
      {"\"B\">\"a\"", "1"},
      {"\"n=\"&B2", "\"n=6\""},
      {"A1/0", "\"#DIV/0!\""},
      {"C1*2", "\"#VALUE!\""},
      {"SUM(C1, 1)", "\"#VALUE!\""},
      {"AVERAGE(C1:C2)", "\"#DIV/0!\""},
      {"A3", "\"#CYCLE!\""},
      {"NOPE(1)", "\"#NAME?\""},
      {"Unknown*2", "\"#NAME?\""},
      {"Sheet9!A1", "\"#REF!\""},
      {"1+", "\"#ERROR!\""},
      {"SUM(A1:B2", "\"#ERROR!\""},
      {"((((1))))", "1"},
  };
  // Nesting beyond what any sheet needs is refused, not a crash.
  std::string deep_calls, deep_parentheses;
  for (int i = 0; i < 5000; ++i) {
    deep_calls = "SUM(" + deep_calls + (i == 0 ? "1" : "") + ")";
    deep_parentheses = "(" + deep_parentheses + (i == 0 ? "1" : "") + ")";
  }
  std::vector<std::pair<std::string, std::string>> all;
  for (const auto& c : cases)
    all.emplace_back(c.formula, c.value);
  all.emplace_back(deep_calls, "\"#ERROR!\"");
  all.emplace_back(deep_parentheses, "\"#ERROR!\"");
  for (const auto& [formula, want] : all) {
    SCOPED_TRACE(formula.substr(0, 40));
    auto result = app.call("evaluate_formula", JsonObject{{"formula", formula}});
    ASSERT_TRUE(result.ok()) << result.error();
    auto value = parse_json(result_text(*result));
    ASSERT_TRUE(value.ok()) << result_text(*result);
    EXPECT_EQ(render_compact(*value->find("value")), want);
  }
}

TEST(Tabulo, FillDownMovesRelativeRowsOnly) {
  const struct {
    const char* top;
    const char* third_row;  // the input fill_down gives C3
  } cases[] = {
      {"=A1*2", "=A3*2"},
      {"=A$1+$A1+$A$1", "=A$1+$A3+$A$1"},
      {"=SUM(A1:B1)/COUNT(A1:A2)", "=SUM(A3:B3)/COUNT(A3:A4)"},
      {"=Rates!B1+'Q 1'!C1", "=Rates!B3+'Q 1'!C3"},
      {"=\"A1 \"&A1", "=\"A1 \"&A3"},
      {"=ROUND(A1, 2)+LOG10", "=ROUND(A3, 2)+LOG10"},
      {"=ZZ99998", "=ZZ100000"},
      {"=A99999", "=#REF!"},
      {"plain A1 text", "plain A1 text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.top);
    AppSession app({"tabulo"});
    ASSERT_TRUE(app.call("set_cell", JsonObject{{"cell", "C1"}, {"value", c.top}}).ok());
    auto filled = app.call("fill_down", JsonObject{{"range", "C1:C3"}});
    ASSERT_TRUE(filled.ok() && !is_error_result(*filled)) << result_text(*filled);
    auto cell = app.call("get_cell", JsonObject{{"cell", "C3"}});
    ASSERT_TRUE(cell.ok());
    auto value = parse_json(result_text(*cell));
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(*value->find("input")->as_string(), c.third_row);
  }
}

TEST(Tabulo, WorkbookEditsSortsFillsAndExports) {
  run_script(
      "tabulo",
      {
          {"set_range",
           R"({"start": "A1", "rows": [["Item", "Cost"], ["Paper", 12], ["Ink", 30.5], ["Toner", null]]})",
           "Wrote 8 cells starting at A1 on \"Sheet1\"."},
          {"set_cell", R"({"cell": "C2", "value": "=B2*$B$2+C1"})",
           R"({"cell":"C2","display":"144","input":"=B2*$B$2+C1","value":144})"},
          {"fill_down", R"({"range": "C2:C4"})",
           "Filled 2 cells down from row 2; formulas follow their rows."},
          {"get_cell", R"({"cell": "C4"})",
           R"({"cell":"C4","display":"510","input":"=B4*$B$2+C3","value":510})"},
          {"sort_range", R"({"range": "A2:B4", "byColumn": "B", "descending": true})",
           "Sorted 3 rows of A2:B4 by column B, largest first. Formulas keep their references."},
          {"get_range", R"({"range": "A2:B4"})",
           R"({"range":"A2:B4","values":[["Ink",30.5],["Paper",12],["Toner",null]]})"},
          {"sort_range", R"({"range": "A2:B4", "byColumn": "D"})",
           "`byColumn` must be a column letter inside A2:B4", true},
          {"format_cells", R"({"range": "B2:B3", "numberFormat": "currency"})",
           "Formatted 2 cells in B2:B3."},
          {"export_workbook", R"({"fileName": "costs.csv", "format": "csv"})",
           R"({"content":"Item,Cost,\nInk,$30.50,930.25\nPaper,$12.00,1296.25\nToner,,1296.25\n","file":"costs.csv","format":"csv","sheet":"Sheet1"})"},
          {"find_cells", R"({"text": "ink"})",
           R"({"matches":[{"cell":"A2","input":"Ink","sheet":"Sheet1"}]})"},
          {"create_chart", R"({"range": "A1:B4", "kind": "pie", "title": "Costs"})",
           "Created pie chart 1 \"Costs\" from A1:B4 on \"Sheet1\"."},
          {"delete_sheet", R"({"sheet": "Sheet1"})", "a workbook keeps at least one sheet", true},
          {"add_sheet", R"({"name": "sheet1"})", "there is already a sheet `sheet1`", true},
          {"rename_sheet", R"({"sheet": "Sheet1", "name": "Costs"})",
           "Renamed \"Sheet1\" to \"Costs\"."},
          {"list_charts", "{}",
           R"({"charts":[{"chart":1,"kind":"pie","range":"A1:B4","sheet":"Sheet1","title":"Costs"}]})"},
          {"clear_range", R"({"range": "A1:C4"})", "Cleared 10 cells in A1:C4."},
          {"list_sheets", "{}", R"({"sheets":[{"cells":0,"sheet":"Costs","usedRange":null}]})"},
          {"undo", R"({"steps": 2})", "Undid 2 steps."},
          {"list_sheets", "{}",
           R"({"sheets":[{"cells":10,"sheet":"Sheet1","usedRange":"A1:C4"}]})"},
      });
}

}  // namespace
}  // namespace brask::testing

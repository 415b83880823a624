// Scribola, the word processor: one document of styled paragraphs with comments, page
// set-up, undo and exports. Beside its tools it has menu commands, reached through the
// generic list_commands and run_command tools as a real app's command palette would be.
#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "apps.h"

namespace brask::sample {
namespace {

struct Paragraph {
  unsigned id = 0;
  std::string text;
  std::string style = "Body";
};

struct Style {
  std::string font;
  double size = 11;
  bool bold = false;
  bool italic = false;
  std::string alignment = "left";
};

struct Comment {
  unsigned id = 0;
  unsigned paragraph_id = 0;
  std::string text;
  bool resolved = false;
};

struct Document {
  std::string title = "Untitled";
  std::vector<Paragraph> paragraphs;
  std::map<std::string, Style> styles;
  std::vector<Comment> comments;
  std::string page_size = "A4";
  std::string orientation = "portrait";
  double margin_mm = 25;
  unsigned columns = 1;
  unsigned zoom_percent = 100;
  bool hyphenation = false;
  bool track_changes = false;
  unsigned next_id = 1;
};

struct Scribola {
  Document doc;
  std::vector<Document> undo;
  std::vector<JsonValue> exports;
};

Document fresh_document(std::string title) {
  Document d;
  d.title = std::move(title);
  d.styles = {{"Body", {"Source Serif", 11, false, false, "left"}},
              {"Title", {"Source Sans", 26, true, false, "center"}},
              {"Heading 1", {"Source Sans", 18, true, false, "left"}},
              {"Heading 2", {"Source Sans", 14, true, false, "left"}},
              {"Quote", {"Source Serif", 11, false, true, "left"}},
              {"Code", {"Source Code", 10, false, false, "left"}}};
  return d;
}

void snapshot(Scribola& s) {
  remember(s.undo, s.doc);
}

size_t count_words(std::string_view text) {
  size_t words = 0;
  bool in_word = false;
  for (char c : text) {
    bool space = std::isspace(static_cast<unsigned char>(c));
    if (!space && !in_word)
      ++words;
    in_word = !space;
  }
  return words;
}

std::string preview(const std::string& text) {
  return text.size() <= 60 ? text : text.substr(0, 57) + "...";
}

JsonValue paragraph_json(const Paragraph& p, size_t index, bool full) {
  return JsonObject{{"paragraph", index + 1},
                    {"style", p.style},
                    {"text", full ? p.text : preview(p.text)},
                    {"words", count_words(p.text)}};
}

// The paragraph at the 1-based `paragraph` argument.
Result<size_t> paragraph_at(const Document& d, const Args& a, std::string_view key = "paragraph") {
  long long n = a.integer(key);
  if (n < 1 || static_cast<size_t>(n) > d.paragraphs.size()) {
    if (d.paragraphs.empty())
      return fail("the document has no paragraphs yet");
    return fail("`" + std::string(key) + "` must be from 1 to " +
                std::to_string(d.paragraphs.size()));
  }
  return static_cast<size_t>(n - 1);
}

// Runs `change` on the index of the paragraph the "paragraph" argument names, with undo;
// it returns what to say.
template <class F>
ToolOutput edit_paragraph(Scribola& s, const Args& a, F change) {
  auto at = paragraph_at(s.doc, a);
  if (!at.ok())
    return at.failure();
  snapshot(s);
  return JsonValue(change(*at));
}

Result<void> known_style(const Document& d, const std::string& style) {
  if (d.styles.count(style))
    return {};
  std::string names;
  for (const auto& [name, _] : d.styles)
    names += (names.empty() ? "" : ", ") + name;
  return fail("no style `" + style + "`; the styles are " + names);
}

// Where a new paragraph goes: the 1-based `position`, or the end when it is absent.
Result<size_t> insert_position(const Document& d, const Args& a) {
  if (!a.has("position"))
    return d.paragraphs.size();
  long long n = a.integer("position");
  if (n < 1 || static_cast<size_t>(n) > d.paragraphs.size() + 1) {
    return fail("`position` must be from 1 to " + std::to_string(d.paragraphs.size() + 1));
  }
  return static_cast<size_t>(n - 1);
}

ToolOutput insert_paragraph(Scribola& s, const Args& a, std::string text, std::string style) {
  auto at = insert_position(s.doc, a);
  if (!at.ok())
    return at.failure();
  snapshot(s);
  s.doc.paragraphs.insert(s.doc.paragraphs.begin() + static_cast<long>(*at),
                          Paragraph{s.doc.next_id++, std::move(text), std::move(style)});
  return JsonValue("Inserted paragraph " + std::to_string(*at + 1) + " (" +
                   s.doc.paragraphs[*at].style + "). The document has " +
                   std::to_string(s.doc.paragraphs.size()) + " paragraphs.");
}

size_t occurrences(std::string_view text, std::string_view needle, bool match_case) {
  if (needle.empty())
    return 0;
  std::string hay = match_case ? std::string(text) : lower(text);
  std::string pin = match_case ? std::string(needle) : lower(needle);
  size_t n = 0;
  for (size_t at = hay.find(pin); at != std::string::npos; at = hay.find(pin, at + pin.size()))
    ++n;
  return n;
}

std::string replace_all(const std::string& text, const std::string& find, const std::string& with,
                        bool match_case, size_t* count) {
  std::string hay = match_case ? text : lower(text);
  std::string pin = match_case ? find : lower(find);
  std::string out;
  size_t from = 0;
  for (size_t at = hay.find(pin); at != std::string::npos; at = hay.find(pin, from)) {
    out.append(text, from, at - from);
    out += with;
    from = at + pin.size();
    ++*count;
  }
  out.append(text, from, std::string::npos);
  return out;
}

ToolOutput document_info(Scribola& s, const Args&) {
  const Document& d = s.doc;
  size_t words = 0;
  for (const Paragraph& p : d.paragraphs)
    words += count_words(p.text);
  size_t open = static_cast<size_t>(std::count_if(d.comments.begin(), d.comments.end(),
                                                  [](const Comment& c) { return !c.resolved; }));
  return JsonValue(JsonObject{{"title", d.title},
                              {"paragraphs", d.paragraphs.size()},
                              {"words", words},
                              {"openComments", open},
                              {"page", JsonObject{{"size", d.page_size},
                                                  {"orientation", d.orientation},
                                                  {"marginMm", d.margin_mm},
                                                  {"columns", d.columns}}},
                              {"hyphenation", d.hyphenation},
                              {"trackChanges", d.track_changes},
                              {"zoomPercent", d.zoom_percent}});
}

// Menu commands: what list_commands shows and run_command runs. Some act on one
// paragraph, the others on the whole document.
struct MenuCommand {
  const char* id;
  const char* title;
  const char* description;
  bool needs_paragraph;
};

const MenuCommand COMMANDS[] = {
    {"text.uppercase", "UPPERCASE", "Turns a paragraph's text into capital letters.", true},
    {"text.lowercase", "lowercase", "Turns a paragraph's text into small letters.", true},
    {"text.sentence_case", "Sentence case", "Capitalises only the first letter of a paragraph.",
     true},
    {"text.collapse_spaces", "Collapse spaces",
     "Replaces runs of spaces with one space everywhere.", false},
    {"document.sort_paragraphs", "Sort paragraphs", "Sorts all paragraphs alphabetically.", false},
    {"document.remove_empty_paragraphs", "Remove empty paragraphs",
     "Deletes paragraphs without text.", false},
    {"document.number_headings", "Number headings",
     "Puts 1, 2, 3 before every Heading 1 paragraph.", false},
    {"insert.horizontal_rule", "Horizontal rule", "Adds a separating line at the end.", false},
    {"insert.table_of_contents", "Table of contents", "Adds a list of the headings at the start.",
     false},
    {"tools.hyphenation", "Automatic hyphenation",
     "Turns automatic hyphenation of long words on or off.", false},
    {"tools.track_changes", "Track changes", "Turns the recording of changes for review on or off.",
     false},
    {"view.zoom_in", "Zoom in", "Enlarges the page view by 25 percent.", false},
    {"view.zoom_out", "Zoom out", "Shrinks the page view by 25 percent.", false},
    {"layout.two_columns", "Two columns", "Sets the text in two columns.", false},
    {"layout.one_column", "One column", "Sets the text in one column.", false},
};

ToolOutput list_commands(Scribola&, const Args& a) {
  std::string filter = lower(a.string("filter"));
  JsonArray out;
  for (const MenuCommand& c : COMMANDS) {
    std::string all = lower(std::string(c.id) + " " + c.title + " " + c.description);
    if (!filter.empty() && all.find(filter) == std::string::npos)
      continue;
    JsonObject o{{"command", c.id}, {"title", c.title}, {"description", c.description}};
    if (c.needs_paragraph)
      o.set("needsParagraph", true);
    out.push_back(std::move(o));
  }
  return JsonValue(JsonObject{{"commands", std::move(out)}});
}

std::string on_off(bool on) {
  return on ? "on" : "off";
}

ToolOutput run_command(Scribola& s, const Args& a) {
  std::string id = a.string("command");
  const MenuCommand* command = nullptr;
  for (const MenuCommand& c : COMMANDS) {
    if (id == c.id)
      command = &c;
  }
  if (!command)
    return fail("no command `" + id + "`; list_commands shows them");
  Document& d = s.doc;
  if (command->needs_paragraph) {
    if (!a.has("paragraph"))
      return fail("`" + id + "` needs `paragraph`");
    return edit_paragraph(s, a, [&](size_t at) {
      std::string& text = d.paragraphs[at].text;
      text = id == "text.uppercase" ? upper(text) : lower(text);
      if (id == "text.sentence_case" && !text.empty())
        text[0] = upper(text.substr(0, 1))[0];
      return "Ran " + std::string(command->title) + " on paragraph " + std::to_string(at + 1) +
             ": \"" + preview(text) + "\"";
    });
  }
  snapshot(s);
  std::string said;
  if (id == "text.collapse_spaces") {
    size_t removed = 0;
    for (Paragraph& p : d.paragraphs) {
      std::string out;
      for (char c : p.text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') {
          ++removed;
        } else {
          out += c;
        }
      }
      p.text = std::move(out);
    }
    said = "Removed " + std::to_string(removed) + " extra spaces.";
  } else if (id == "document.sort_paragraphs") {
    std::stable_sort(
        d.paragraphs.begin(), d.paragraphs.end(),
        [](const Paragraph& x, const Paragraph& y) { return lower(x.text) < lower(y.text); });
    said = "Sorted " + std::to_string(d.paragraphs.size()) + " paragraphs.";
  } else if (id == "document.remove_empty_paragraphs") {
    size_t before = d.paragraphs.size();
    d.paragraphs.erase(std::remove_if(d.paragraphs.begin(), d.paragraphs.end(),
                                      [](const Paragraph& p) { return count_words(p.text) == 0; }),
                       d.paragraphs.end());
    said = "Removed " + std::to_string(before - d.paragraphs.size()) + " empty paragraphs.";
  } else if (id == "document.number_headings") {
    unsigned n = 0;
    for (Paragraph& p : d.paragraphs) {
      if (p.style == "Heading 1")
        p.text = std::to_string(++n) + ". " + p.text;
    }
    said = "Numbered " + std::to_string(n) + " headings.";
  } else if (id == "insert.horizontal_rule") {
    d.paragraphs.push_back(Paragraph{d.next_id++, "* * *", "Body"});
    said = "Added a horizontal rule as paragraph " + std::to_string(d.paragraphs.size()) + ".";
  } else if (id == "insert.table_of_contents") {
    std::string toc = "Contents:";
    for (const Paragraph& p : d.paragraphs) {
      if (p.style.rfind("Heading", 0) == 0)
        toc += " " + p.text + ";";
    }
    d.paragraphs.insert(d.paragraphs.begin(), Paragraph{d.next_id++, toc, "Body"});
    said = "Added a table of contents as paragraph 1: \"" + preview(toc) + "\"";
  } else if (id == "tools.hyphenation") {
    d.hyphenation = !d.hyphenation;
    said = "Automatic hyphenation is now " + on_off(d.hyphenation) + ".";
  } else if (id == "tools.track_changes") {
    d.track_changes = !d.track_changes;
    said = "Track changes is now " + on_off(d.track_changes) + ".";
  } else if (id == "view.zoom_in" || id == "view.zoom_out") {
    d.zoom_percent = id == "view.zoom_in" ? std::min(500u, d.zoom_percent + 25)
                                          : std::max(25u, d.zoom_percent - 25);
    said = "Zoom is now " + std::to_string(d.zoom_percent) + "%.";
  } else {
    d.columns = id == "layout.two_columns" ? 2 : 1;
    said = "The text is now set in " + std::to_string(d.columns) +
           (d.columns == 1 ? " column." : " columns.");
  }
  return JsonValue(said);
}

const ToolRow<Scribola> TOOLS[] = {
    {{"new_document", "New document",
      "Starts a new, empty document with the standard styles. The current document is "
      "replaced; undo brings it back.",
      R"({"type": "object", "properties": {"title": {"type": "string", "default": "Untitled"}}})",
      DESTRUCTIVE},
     [](Scribola& s, const Args& a) -> ToolOutput {
       snapshot(s);
       s.doc = fresh_document(a.string("title"));
       return JsonValue("Started the empty document \"" + s.doc.title + "\".");
     }},
    {{"get_document_info", "Document information",
      "Returns the document's title, counts of paragraphs, words and open comments, the page "
      "set-up and the state of hyphenation and change tracking. Nothing is changed.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     document_info},
    {{"set_title", "Set title",
      "Changes the document's title, as shown in the window and stored in exported files. The file "
      "name of later exports is not affected.",
      R"({"type": "object", "properties": {"title": {"type": "string", "minLength": 1}}, "required": ["title"]})",
      IDEMPOTENT},
     [](Scribola& s, const Args& a) -> ToolOutput {
       snapshot(s);
       s.doc.title = a.string("title");
       return JsonValue("The title is now \"" + s.doc.title + "\".");
     }},
    {{"list_paragraphs", "List paragraphs",
      "Lists the paragraphs in order with their number, style, word count and the start of "
      "their text. Paragraph numbers start at 1.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     [](Scribola& s, const Args&) -> ToolOutput {
       JsonArray out;
       for (size_t i = 0; i < s.doc.paragraphs.size(); ++i) {
         out.push_back(paragraph_json(s.doc.paragraphs[i], i, /*full=*/false));
       }
       return JsonValue(JsonObject{{"paragraphs", std::move(out)}});
     }},
    {{"get_paragraph", "Read paragraph",
      "Returns one paragraph's full text and style. Paragraph numbers start at 1, as in "
      "list_paragraphs.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}}, "required": ["paragraph"]})",
      READ_ONLY},
     [](Scribola& s, const Args& a) -> ToolOutput {
       auto at = paragraph_at(s.doc, a);
       if (!at.ok())
         return at.failure();
       return paragraph_json(s.doc.paragraphs[*at], *at, /*full=*/true);
     }},
    {{"add_paragraph", "Add paragraph",
      "Inserts a paragraph of text with a style. Without a position it goes at the end; "
      "position 1 puts it first.",
      R"({"type": "object", "properties": {
          "text": {"type": "string"},
          "style": {"type": "string", "default": "Body", "description": "A style name from list_styles."},
          "position": {"type": "integer", "minimum": 1}}, "required": ["text"]})",
      0},
     [](Scribola& s, const Args& a) -> ToolOutput {
       auto known = known_style(s.doc, a.string("style"));
       if (!known.ok())
         return known.failure();
       return insert_paragraph(s, a, a.string("text"), a.string("style"));
     }},
    {{"edit_paragraph", "Edit paragraph",
      "Replaces the whole text of one paragraph. Its style stays.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}, "text": {"type": "string"}}, "required": ["paragraph", "text"]})",
      IDEMPOTENT},
     [](Scribola& s, const Args& a) {
       return edit_paragraph(s, a, [&](size_t at) {
         s.doc.paragraphs[at].text = a.string("text");
         return "Replaced the text of paragraph " + std::to_string(at + 1) + ".";
       });
     }},
    {{"delete_paragraph", "Delete paragraph",
      "Removes one paragraph and the comments attached to it. The paragraphs after it move up.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}}, "required": ["paragraph"]})",
      DESTRUCTIVE},
     [](Scribola& s, const Args& a) {
       return edit_paragraph(s, a, [&](size_t at) {
         unsigned id = s.doc.paragraphs[at].id;
         s.doc.paragraphs.erase(s.doc.paragraphs.begin() + static_cast<long>(at));
         std::erase_if(s.doc.comments, [id](const Comment& c) { return c.paragraph_id == id; });
         return "Deleted paragraph " + std::to_string(at + 1) + ". The document has " +
                std::to_string(s.doc.paragraphs.size()) + " paragraphs.";
       });
     }},
    {{"move_paragraph", "Move paragraph",
      "Moves one paragraph to another place in the document. Position is the number the paragraph "
      "has afterwards.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}, "position": {"type": "integer", "minimum": 1}}, "required": ["paragraph", "position"]})",
      0},
     [](Scribola& s, const Args& a) -> ToolOutput {
       auto from = paragraph_at(s.doc, a);
       if (!from.ok())
         return from.failure();
       auto to = paragraph_at(s.doc, a, "position");
       if (!to.ok())
         return to.failure();
       snapshot(s);
       Paragraph p = s.doc.paragraphs[*from];
       s.doc.paragraphs.erase(s.doc.paragraphs.begin() + static_cast<long>(*from));
       s.doc.paragraphs.insert(s.doc.paragraphs.begin() + static_cast<long>(*to), p);
       return JsonValue("Moved paragraph " + std::to_string(*from + 1) + " to position " +
                        std::to_string(*to + 1) + ".");
     }},
    {{"apply_style", "Apply style",
      "Gives a paragraph one of the document's styles, such as Heading 1 or Quote. list_styles "
      "shows the styles; define_style adds new ones.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}, "style": {"type": "string", "minLength": 1}}, "required": ["paragraph", "style"]})",
      IDEMPOTENT},
     [](Scribola& s, const Args& a) -> ToolOutput {
       auto at = paragraph_at(s.doc, a);
       if (!at.ok())
         return at.failure();
       auto known = known_style(s.doc, a.string("style"));
       if (!known.ok())
         return known.failure();
       snapshot(s);
       s.doc.paragraphs[*at].style = a.string("style");
       return JsonValue("Paragraph " + std::to_string(*at + 1) + " is now " + a.string("style") +
                        ".");
     }},
    {{"list_styles", "List styles",
      "Lists the document's paragraph styles with their font, size, weight, slant and "
      "alignment. Use define_style to add or change one.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     [](Scribola& s, const Args&) -> ToolOutput {
       JsonArray out;
       for (const auto& [name, st] : s.doc.styles) {
         out.push_back(JsonObject{{"style", name},
                                  {"font", st.font},
                                  {"size", st.size},
                                  {"bold", st.bold},
                                  {"italic", st.italic},
                                  {"alignment", st.alignment}});
       }
       return JsonValue(JsonObject{{"styles", std::move(out)}});
     }},
    {{"define_style", "Define style",
      "Creates a paragraph style or changes an existing one. Paragraphs that use it change "
      "with it.",
      R"({"type": "object", "properties": {
          "name": {"type": "string", "minLength": 1},
          "font": {"type": "string", "default": "Source Serif"},
          "size": {"type": "number", "minimum": 4, "maximum": 400, "default": 11},
          "bold": {"type": "boolean", "default": false},
          "italic": {"type": "boolean", "default": false},
          "alignment": {"type": "string", "enum": ["left", "center", "right", "justify"], "default": "left"}},
        "required": ["name"]})",
      IDEMPOTENT},
     [](Scribola& s, const Args& a) -> ToolOutput {
       snapshot(s);
       bool existed = s.doc.styles.count(a.string("name")) > 0;
       s.doc.styles[a.string("name")] = Style{a.string("font"), a.number("size"), a.boolean("bold"),
                                              a.boolean("italic"), a.string("alignment")};
       return JsonValue((existed ? "Changed the style " : "Created the style ") + a.string("name") +
                        ".");
     }},
    {{"find_text", "Find text",
      "Finds every paragraph that contains a piece of text and says how often it occurs in "
      "each. Paragraph numbers start at 1.",
      R"({"type": "object", "properties": {"text": {"type": "string", "minLength": 1}, "matchCase": {"type": "boolean", "default": false}}, "required": ["text"]})",
      READ_ONLY},
     [](Scribola& s, const Args& a) -> ToolOutput {
       JsonArray hits;
       for (size_t i = 0; i < s.doc.paragraphs.size(); ++i) {
         size_t n = occurrences(s.doc.paragraphs[i].text, a.string("text"), a.boolean("matchCase"));
         if (n > 0)
           hits.push_back(JsonObject{{"paragraph", i + 1}, {"count", n}});
       }
       return JsonValue(JsonObject{{"matches", std::move(hits)}});
     }},
    {{"replace_text", "Replace text",
      "Replaces every occurrence of a piece of text in the whole document and reports how "
      "many were replaced. The search ignores case unless matchCase is true.",
      R"({"type": "object", "properties": {"find": {"type": "string", "minLength": 1}, "replace": {"type": "string"}, "matchCase": {"type": "boolean", "default": false}}, "required": ["find", "replace"]})",
      0},
     [](Scribola& s, const Args& a) -> ToolOutput {
       snapshot(s);
       size_t count = 0;
       for (Paragraph& p : s.doc.paragraphs) {
         p.text = replace_all(p.text, a.string("find"), a.string("replace"), a.boolean("matchCase"),
                              &count);
       }
       return JsonValue("Replaced " + std::to_string(count) + " occurrences.");
     }},
    {{"word_count", "Word count",
      "Counts the words and characters of the document, or of one paragraph when given. Words are "
      "runs of characters between spaces.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}}})",
      READ_ONLY},
     [](Scribola& s, const Args& a) -> ToolOutput {
       if (a.has("paragraph")) {
         auto at = paragraph_at(s.doc, a);
         if (!at.ok())
           return at.failure();
       }
       size_t words = 0, chars = 0;
       for (size_t i = 0; i < s.doc.paragraphs.size(); ++i) {
         if (a.has("paragraph") && static_cast<long long>(i + 1) != a.integer("paragraph"))
           continue;
         words += count_words(s.doc.paragraphs[i].text);
         chars += s.doc.paragraphs[i].text.size();
       }
       return JsonValue(JsonObject{{"words", words}, {"characters", chars}});
     }},
    {{"add_comment", "Add comment",
      "Attaches a review comment to a paragraph. Comments show up in list_comments until they are "
      "resolved.",
      R"({"type": "object", "properties": {"paragraph": {"type": "integer", "minimum": 1}, "text": {"type": "string", "minLength": 1}}, "required": ["paragraph", "text"]})",
      0},
     [](Scribola& s, const Args& a) {
       return edit_paragraph(s, a, [&](size_t at) {
         unsigned id = s.doc.next_id++;
         s.doc.comments.push_back(Comment{id, s.doc.paragraphs[at].id, a.string("text"), false});
         return "Added comment " + std::to_string(id) + " to paragraph " + std::to_string(at + 1) +
                ".";
       });
     }},
    {{"list_comments", "List comments",
      "Lists the review comments with the paragraph each belongs to. Resolved comments are "
      "left out unless asked for.",
      R"({"type": "object", "properties": {"includeResolved": {"type": "boolean", "default": false}}})",
      READ_ONLY},
     [](Scribola& s, const Args& a) -> ToolOutput {
       JsonArray out;
       for (const Comment& c : s.doc.comments) {
         if (c.resolved && !a.boolean("includeResolved"))
           continue;
         JsonValue paragraph = nullptr;
         for (size_t i = 0; i < s.doc.paragraphs.size(); ++i) {
           if (s.doc.paragraphs[i].id == c.paragraph_id)
             paragraph = i + 1;
         }
         out.push_back(JsonObject{{"comment", c.id},
                                  {"paragraph", paragraph},
                                  {"text", c.text},
                                  {"resolved", c.resolved}});
       }
       return JsonValue(JsonObject{{"comments", std::move(out)}});
     }},
    {{"resolve_comment", "Resolve comment",
      "Marks a review comment as dealt with. Resolved comments stay in the document but are hidden "
      "from list_comments by default.",
      R"({"type": "object", "properties": {"comment": {"type": "integer", "minimum": 1}}, "required": ["comment"]})",
      IDEMPOTENT},
     [](Scribola& s, const Args& a) -> ToolOutput {
       for (Comment& c : s.doc.comments) {
         if (c.id != a.integer("comment"))
           continue;
         snapshot(s);  // copies into the undo list; `c` stays valid
         c.resolved = true;
         return JsonValue("Resolved comment " + std::to_string(c.id) + ".");
       }
       return fail("no comment " + std::to_string(a.integer("comment")));
     }},
    {{"set_page_setup", "Page set-up",
      "Sets the paper size, orientation and margins used for printing and PDF export. Leave out "
      "what should stay as it is.",
      R"({"type": "object", "properties": {
          "size": {"type": "string", "enum": ["A4", "A5", "Letter", "Legal"]},
          "orientation": {"type": "string", "enum": ["portrait", "landscape"]},
          "marginMm": {"type": "number", "minimum": 0, "maximum": 100}}})",
      IDEMPOTENT},
     [](Scribola& s, const Args& a) -> ToolOutput {
       snapshot(s);
       if (a.has("size"))
         s.doc.page_size = a.string("size");
       if (a.has("orientation"))
         s.doc.orientation = a.string("orientation");
       if (a.has("marginMm"))
         s.doc.margin_mm = a.number("marginMm");
       return JsonValue("Page: " + s.doc.page_size + ", " + s.doc.orientation + ", margins " +
                        number_text(s.doc.margin_mm) + " mm.");
     }},
    {{"insert_page_break", "Insert page break",
      "Starts a new page before the paragraph at the given position, or at the end. The break "
      "counts as a paragraph of its own in list_paragraphs.",
      R"({"type": "object", "properties": {"position": {"type": "integer", "minimum": 1}}})", 0},
     [](Scribola& s, const Args& a) -> ToolOutput {
       return insert_paragraph(s, a, "", "Page Break");
     }},
    {{"insert_table", "Insert table",
      "Inserts an empty table with the given number of rows and columns as a paragraph of its "
      "own. Its cells are filled in the app's window.",
      R"({"type": "object", "properties": {"rows": {"type": "integer", "minimum": 1, "maximum": 100}, "columns": {"type": "integer", "minimum": 1, "maximum": 20}, "position": {"type": "integer", "minimum": 1}}, "required": ["rows", "columns"]})",
      0},
     [](Scribola& s, const Args& a) -> ToolOutput {
       return insert_paragraph(s, a,
                               "[table " + std::to_string(a.integer("rows")) + " x " +
                                   std::to_string(a.integer("columns")) + "]",
                               "Table");
     }},
    {{"export_document", "Export document",
      "Writes the document as PDF, DOCX, ODT, HTML or plain text, using the page set-up. This "
      "sample keeps exports in memory; list_exports shows them.",
      R"({"type": "object", "properties": {"fileName": {"type": "string", "minLength": 1}, "format": {"type": "string", "enum": ["pdf", "docx", "odt", "html", "txt"], "default": "pdf"}}, "required": ["fileName"]})",
      0},
     [](Scribola& s, const Args& a) -> ToolOutput {
       size_t words = 0;
       for (const Paragraph& p : s.doc.paragraphs)
         words += count_words(p.text);
       JsonObject record{{"file", a.string("fileName")},
                         {"format", a.string("format")},
                         {"title", s.doc.title},
                         {"paragraphs", s.doc.paragraphs.size()},
                         {"words", words},
                         {"pageSize", s.doc.page_size}};
       s.exports.push_back(record);
       return JsonValue(std::move(record));
     }},
    {{"list_exports", "List exports",
      "Lists the files exported in this session, oldest first. Each entry gives the file name, the "
      "format and what went into the file.",
      R"({"type": "object", "properties": {}})", READ_ONLY},
     [](Scribola& s, const Args&) -> ToolOutput {
       return JsonValue(JsonObject{{"exports", JsonArray(s.exports.begin(), s.exports.end())}});
     }},
    {{"undo", "Undo",
      "Takes back the last changes to the document, one step at a time. Up to 50 steps are kept.",
      R"({"type": "object", "properties": {"steps": {"type": "integer", "minimum": 1, "maximum": 50, "default": 1}}})",
      0},
     [](Scribola& s, const Args& a) { return undo_steps(s.undo, s.doc, a.integer("steps")); }},
    {{"list_commands", "List menu commands",
      "Lists Scribola's menu commands, which reach features that have no tool of their own. "
      "Pass a filter to see only commands whose id, title or description contains it.",
      R"({"type": "object", "properties": {"filter": {"type": "string"}}})", READ_ONLY},
     list_commands},
    {{"run_command", "Run menu command",
      "Runs one of Scribola's menu commands by its id from list_commands. Commands that work "
      "on one paragraph need its number.",
      R"({"type": "object", "properties": {"command": {"type": "string", "minLength": 1}, "paragraph": {"type": "integer", "minimum": 1}}, "required": ["command"]})",
      0},
     run_command},
};

}  // namespace

Result<void> make_scribola(AppDefinition* app) {
  auto doc = std::make_shared<Scribola>();
  doc->doc = fresh_document("Untitled");
  auto tools = make_tools(TOOLS, doc);
  if (!tools.ok())
    return tools.failure();
  app->id = "scribola";
  app->title = "Scribola";
  app->version = "2.8.1";
  app->instructions =
      "Scribola edits one document of styled paragraphs, numbered from 1. Features without a "
      "tool of their own are menu commands: list_commands, then run_command.";
  app->tools = std::move(tools).take();
  return {};
}

}  // namespace brask::sample

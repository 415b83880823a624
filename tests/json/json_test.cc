#include "json/json.h"

#include <gtest/gtest.h>

#include <string>

#include "json/parse.h"
#include "json/render.h"

namespace brask {
namespace {

TEST(JsonObject, MembersStayUniqueAndInByteOrder) {
  JsonObject o{{"b", 1}, {"ab", 2}, {"a", 3}, {"\xc3\xa9", 4}, {"B", 5}, {"a", 6}};
  EXPECT_EQ(render_compact(JsonValue(o)), "{\"B\":5,\"a\":6,\"ab\":2,\"b\":1,\"\xc3\xa9\":4}");
  JsonObject listed{{"z", 1}, {"y", 2}, {"z", 3}};
  EXPECT_EQ(render_compact(JsonValue(listed)), R"({"y":2,"z":3})");
}

TEST(JsonObject, SetFindAndEraseByExactKey) {
  JsonObject o;
  o.set("name", "x");
  o.set("Name", 1);
  o.set("name", "y");
  EXPECT_EQ(o.size(), 2u);
  ASSERT_NE(o.find("name"), nullptr);
  EXPECT_EQ(*o.find("name")->as_string(), "y");
  EXPECT_EQ(o.find("nam"), nullptr);
  EXPECT_EQ(o.find("NAME"), nullptr);
  EXPECT_TRUE(o.erase("Name"));
  EXPECT_FALSE(o.erase("Name"));
  EXPECT_FALSE(o.contains("Name"));
  EXPECT_EQ(render_compact(JsonValue(o)), R"({"name":"y"})");
}

// Building from braces moves: a large value keeps its storage, as a relayed call's
// arguments must.
TEST(JsonBuilders, BracesMoveTheirValues) {
  auto parsed = parse_json("[\"" + std::string(1 << 20, 'x') + "\", 1]");
  ASSERT_TRUE(parsed.ok());
  JsonValue arguments = std::move(parsed).take();
  const char* data = arguments.as_array()->front().as_string()->data();
  JsonValue built = JsonObject{{"arguments", std::move(arguments)}, {"name", "echo"}};
  const JsonValue* kept = built.find("arguments");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->as_array()->front().as_string()->data(), data);
  JsonValue listed = JsonArray{std::move(built), 2};
  EXPECT_EQ((*listed.as_array())[0].find("arguments")->as_array()->front().as_string()->data(),
            data);
}

TEST(JsonValue, KindsAndEquality) {
  EXPECT_EQ(JsonValue(5).kind(), JsonKind::Unsigned);
  EXPECT_EQ(JsonValue(-5).kind(), JsonKind::Signed);
  EXPECT_EQ(JsonValue(5.0).kind(), JsonKind::Double);
  EXPECT_EQ(JsonValue("text").kind(), JsonKind::String);
  EXPECT_EQ(JsonValue(true).kind(), JsonKind::Bool);
  EXPECT_NE(JsonValue(5), JsonValue(5.0));
  JsonValue a(JsonObject{{"k", JsonArray{1, "x"}}});
  JsonValue b = a;
  EXPECT_EQ(a, b);
  b = JsonValue(JsonObject{{"k", JsonArray{1, "x", nullptr}}});
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find("k")->as_array()->size(), 2u);
}

TEST(JsonValue, AssignsFromItsOwnDescendant) {
  JsonValue v(JsonArray{JsonObject{{"k", JsonArray{"deep", 2}}}, 1});
  v = std::move((*v.as_array())[0]);
  EXPECT_EQ(v, JsonValue(JsonObject{{"k", JsonArray{"deep", 2}}}));
  v = *v.find("k");
  EXPECT_EQ(v, JsonValue(JsonArray{"deep", 2}));
  JsonValue s("a string long enough to live on the heap");
  JsonValue& same = s;  // through a reference, as self-assignment happens in practice
  s = same;
  EXPECT_EQ(s, JsonValue("a string long enough to live on the heap"));
  s = std::move(same);
  EXPECT_EQ(s, JsonValue("a string long enough to live on the heap"));
}

// Values taken from a document outlive it: copied out, or stored in another one.
TEST(JsonValue, OutlivesTheDocumentItCameFrom) {
  std::string long_text(100, 'x');
  JsonValue copied;
  JsonObject held;
  {
    JsonValue doc(JsonObject{{"a", JsonArray{long_text, JsonObject{{"b", long_text}}}}});
    copied = *doc.find("a");
    held.set("a", *doc.find("a"));
    held.set("doc", std::move(doc));
  }
  JsonValue expected(JsonArray{long_text, JsonObject{{"b", long_text}}});
  EXPECT_EQ(copied, expected);
  EXPECT_EQ(*held.find("a"), expected);
  JsonValue whole(std::move(held));
  EXPECT_EQ(*whole.find("doc")->find("a"), expected);
  EXPECT_EQ(render_compact(*whole.find("a")), render_compact(expected));
}

}  // namespace
}  // namespace brask

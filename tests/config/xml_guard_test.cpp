#include "config/xml_guard.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <string>

namespace krelta {
namespace {

std::size_t DepthOf(const TiXmlNode* node) {
  std::size_t deepest = 0;
  for (const TiXmlNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
    deepest = std::max(deepest, DepthOf(child) + (child->ToElement() != nullptr ? 1 : 0));
  }
  return deepest;
}

std::string Nested(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "<a>";
  for (std::size_t i = 0; i < depth; ++i) text += "</a>";
  return text;
}

// The scan follows the parser's own steps: never below the depth the parser reaches (its
// partial tree included), where markup hides in values, comments, CDATA and cut sequences.
TEST(XmlGuard, NestingIsCountedAsTheParserMovesThroughTheText) {
  const struct {
    const char* name;
    std::string text;
    std::size_t depth;
  } rows[] = {
      {"plain", "<a><b/><c><d>x</d></c></a>", 3},
      {"declaration without an encoding, ASCII: one reading", "<?xml version=\"1.0\" ?><a><b><c/></b></a>", 3},
      {"markup in values", "<a x=\"/>\"><b y='</a>' z=u><c/></b></a>", 3},
      {"markup in comments and CDATA", "<a><!-- <b><c> --><![CDATA[<b><c>]]></a>", 1},
      {"unknown and stray end tags", "</x><!DOCTYPE a><?pi x?><a><b/></a>", 2},
      // Read as UTF-8, the cut sequence swallows the closing quote: "/><b>" is in the value.
      {"cut sequence, UTF-8", "\xef\xbb\xbf<a x=\"\xf1\"/><b><c/></b>\"></a>", 1},
      // A declaration decides the encoding for the rest: both readings count.
      {"cut sequence, Latin-1",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a x=\"\xf1\"/><b><c/></b>", 2},
      {"reference running over markup", "<a>&#x</a></a>x;<b><c/></b></a>", 3},
      {"cut sequence in text", "\xef\xbb\xbf<a>\xe0</a><b><c/></b></a>", 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TiXmlDocument document;
    ParseXmlText(row.text, document);
    EXPECT_GE(XmlNestingDepth(row.text), DepthOf(&document));
    EXPECT_EQ(row.depth, XmlNestingDepth(row.text));
  }
}

TEST(XmlGuard, DeepDocumentsAreRefusedBeforeTheParserRecurses) {
  TiXmlDocument document;
  EXPECT_TRUE(ParseXmlText(Nested(kMaxXmlNesting), document));
  EXPECT_FALSE(ParseXmlText(Nested(kMaxXmlNesting + 1), document));
  EXPECT_FALSE(ParseXmlText(Nested(100000), document));
}

}  // namespace
}  // namespace krelta

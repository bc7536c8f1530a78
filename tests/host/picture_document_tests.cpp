// The session's picture read as a browser reads a page: libxml2's HTML
// parser. It must be whole (nothing to fetch) and carry the session's data
// for its drawing code: every pin of the table and every expectation.
#include "semhost_test_support.h"

#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/xpath.h>
#include <nlohmann/json.hpp>

#include <memory>

namespace {

struct Document {
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc{nullptr, xmlFreeDoc};

    explicit Document(const std::string& path)
        : doc(htmlReadFile(path.c_str(), "UTF-8",
                           HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING),
              xmlFreeDoc) {}

    // The text of each node the XPath expression selects.
    std::vector<std::string> Select(const std::string& expression) const {
        std::vector<std::string> found;
        std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> context(xmlXPathNewContext(doc.get()),
                                                                               xmlXPathFreeContext);
        std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> result(
            xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context.get()),
            xmlXPathFreeObject);
        if (result == nullptr || result->nodesetval == nullptr) return found;
        for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
            xmlChar* text = xmlNodeGetContent(result->nodesetval->nodeTab[i]);
            found.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            xmlFree(text);
        }
        return found;
    }
};

TEST(PlayPicture, IsOneWholePageWithEveryPinAndExpect) {
    const std::string script = WriteScratchFile("picture.script",
                                                "# </script><b>a heading that looks like markup</b>\n"
                                                "set Level 1.25\n"
                                                "expect Echo 2.5\n"
                                                "click\n"
                                                "expect Clicks 1\n"
                                                "expect Echo 2 .. 3\n");
    const std::string html = std::string(SEMHOST_SCRATCH_DIR) + "/picture.html";
    const CommandResult result = RunCommand({"play", FixturePath("good"), script, "--html", html});
    ASSERT_EQ(result.code, 0) << result.err;

    const Document page(html);
    ASSERT_NE(page.doc, nullptr);
    // Nothing that loads another file: no source, no link, no frame, and
    // no url() or @import in the style.
    EXPECT_EQ(page.Select("//*[@src or @href or @srcset or @data]").size(), 0u);
    EXPECT_EQ(page.Select("//link | //iframe | //object | //embed | //img | //base").size(), 0u);
    for (const std::string& style : page.Select("//style")) {
        EXPECT_EQ(style.find("url("), std::string::npos);
        EXPECT_EQ(style.find("@import"), std::string::npos);
    }
    const std::vector<std::string> policy =
        page.Select("//meta[@http-equiv='Content-Security-Policy']/@content");
    ASSERT_EQ(policy.size(), 1u);
    EXPECT_EQ(policy[0].rfind("default-src 'none';", 0), 0u) << policy[0];

    // The heading's markup stays text inside the data: one data element, and
    // the drawing code after it.
    const std::vector<std::string> data_text = page.Select("//script[@id='session-data']");
    ASSERT_EQ(data_text.size(), 1u);
    EXPECT_EQ(page.Select("//script").size(), 2u);
    EXPECT_EQ(page.Select("//b").size(), 0u);
    const nlohmann::json data = nlohmann::json::parse(data_text[0]);
    ASSERT_EQ(data.at("pins").size(), 4u);
    const char* names[] = {"Mouse Down", "Level", "Clicks", "Echo"};
    const char* kinds[] = {"onoff", "float", "int", "float"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(data["pins"][i]["name"], names[i]);
        EXPECT_EQ(data["pins"][i]["kind"], kinds[i]);
    }
    ASSERT_EQ(data.at("expects").size(), 3u);
    for (const nlohmann::json& expect : data["expects"]) EXPECT_TRUE(expect.at("held").get<bool>()) << expect;
    EXPECT_EQ(data["moments"][1]["section"], "</script><b>a heading that looks like markup</b>");
    // The module's write of Echo is in its lane's changes, marked as the module's.
    bool written = false;
    for (const nlohmann::json& change : data["changes"])
        written |= change["pin"] == 3 && change["byModule"] == true && change["text"] == "2.5";
    EXPECT_TRUE(written);
    EXPECT_NE(page.Select("//script[not(@id)]")[0].find("function render(data"), std::string::npos);
}

}  // namespace

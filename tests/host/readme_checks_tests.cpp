// The README's list of validate's checks against the table they come from:
// every check named, in the order it runs, so that a check added to the
// table and not to the README (or moved in one and not the other) fails.
#include "commands/validate/check_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

TEST(ReadmeChecks, NameEveryCheckOfTheTableInItsOrder) {
    std::ifstream file(QUILL_README_PATH);
    ASSERT_TRUE(file) << QUILL_README_PATH;
    std::stringstream text;
    text << file.rdbuf();
    const std::string readme = text.str();
    const std::string opening = "The checks, in the order they run:";
    const std::size_t start = readme.find(opening);
    ASSERT_NE(start, std::string::npos) << "no paragraph starting \"" << opening << "\"";
    const std::string paragraph = readme.substr(start, readme.find("\n\n", start) - start);

    // Each check's id as code, in the order of first mention; other code
    // (DllMain, EV_PIN_STATUS) is no id.
    std::vector<std::string> named;
    const std::regex code("`([a-z]+(-[a-z]+)*)`");
    for (auto match = std::sregex_iterator(paragraph.begin(), paragraph.end(), code); match != std::sregex_iterator();
         ++match) {
        const std::string id = (*match)[1];
        if (std::find(named.begin(), named.end(), id) == named.end()) named.push_back(id);
    }
    std::vector<std::string> table;
    for (const CheckDefinition& check : CheckTable()) table.push_back(check.id);
    EXPECT_EQ(named, table);
}

}  // namespace

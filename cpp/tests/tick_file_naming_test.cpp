#include <doctest/doctest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "vkb/tick_file_naming.hpp"

using namespace vkb;

TEST_CASE("cache file name joins code and date") {
    CHECK(tick_filename("2330", "2024-01-02") == "2330 2024-01-02 - ticks.csv");
    CHECK(tick_filename("TXFR1", "2024-03-05") == "TXFR1 2024-03-05 - ticks.csv");
}

TEST_CASE("parts that could leave the cache folder are refused, naming the value") {
    for (const std::string& bad : std::vector<std::string>{"../2330", "a/b", "a\\b", "..", std::string("23\0" "30", 5)}) {
        CHECK_THROWS_AS(tick_filename(bad, "2024-01-02"), std::invalid_argument);
        CHECK_THROWS_AS(tick_filename("2330", bad), std::invalid_argument);
    }
    try {
        check_path_component("x/../y");
        FAIL("not refused");
    } catch (const std::invalid_argument& e) {
        CHECK(std::string(e.what()).find("x/../y") != std::string::npos);
    }
    CHECK_NOTHROW(check_path_component("0050.TW"));
}

TEST_CASE("a source folder is readable, stays inside the cache and differs per source") {
    const std::string a = tick_source_folder("/home/u/my data/ticks");
    CHECK(a.rfind("home_u_my_data_ticks-", 0) == 0);
    CHECK(a.size() == std::string("home_u_my_data_ticks-").size() + 16);
    CHECK_NOTHROW(check_path_component(a));
    CHECK(tick_source_folder("/home/u/my data/ticks") == a);
    CHECK(tick_source_folder("/home/u/my_data/ticks") != a);
    CHECK_NOTHROW(check_path_component(tick_source_folder("../../..")));
    CHECK(tick_source_folder("..").rfind("source-", 0) == 0);
    CHECK(tick_source_folder(std::string(200, 'x')).size() == 40 + 1 + 16);
    CHECK_THROWS_AS(tick_source_folder(""), std::invalid_argument);
}

#include <doctest/doctest.h>

#include <stdexcept>

#include "vkb/contract_terms.hpp"

using namespace vkb;

TEST_CASE("the compiled-in table holds each family's point value and tick") {
    const ContractTerms* txf = futures_contract("TXFR1");
    REQUIRE(txf != nullptr);
    CHECK(txf->family == "TXF");
    CHECK(txf->point_value == 200);
    CHECK(txf->tick_size == 1.0);
    CHECK(futures_contract("MXF202601")->point_value == 50);
    CHECK(futures_tick_of("EXFR1") == 0.05);
    CHECK(futures_contract("ABCR1") == nullptr);
    CHECK(futures_tick_of("ABCR1") == kDefaultFuturesTick);
    CHECK(futures_contracts().size() >= 11);
}

TEST_CASE("a table row with a bad point value or tick names its line") {
    CHECK(parse_contract_terms("family,point_value,tick_size,name\r\nAAA,10,0.5,x\r\n").at(0).tick_size == 0.5);
    CHECK_THROWS_WITH_AS(parse_contract_terms("h\nAAA,0,1,x\n"), "contract table line 2: point value 0",
                         std::invalid_argument);
    CHECK_THROWS_WITH_AS(parse_contract_terms("h\nAAA,10,1,x\nBBB,10,0.001,y\n"), "contract table line 3: tick 0.001",
                         std::invalid_argument);
    CHECK_THROWS_AS(parse_contract_terms("h\nAAA,10,1\n"), std::invalid_argument);
}

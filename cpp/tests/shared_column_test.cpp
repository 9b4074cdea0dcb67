#include <doctest/doctest.h>

#include <vector>

#include "vkb/shared_column.hpp"

using namespace vkb;

namespace {
std::vector<double> rows(const std::shared_ptr<const double[]>& share, std::size_t n) {
    return std::vector<double>(share.get(), share.get() + n);
}
}  // namespace

TEST_CASE("a share keeps the rows it saw while the column grows into new buffers") {
    SharedColumn<double> column;
    for (int i = 0; i < 5; ++i) column.push_back(i);
    const auto share = column.share();
    for (int i = 5; i < 1000; ++i) column.push_back(i);
    CHECK(column.data() != share.get());
    CHECK(rows(share, 5) == std::vector<double>{0, 1, 2, 3, 4});
    CHECK(column.size() == 1000);
    CHECK(column[999] == 999);
}

TEST_CASE("the newest row changes under a share until a row is appended after it") {
    SharedColumn<double> column;
    column.push_back(1);
    column.push_back(2);
    const auto share = column.share();
    column.at(1) = 3;
    CHECK(rows(share, 2) == std::vector<double>{1, 3});
    column.push_back(4);
    column.at(1) = 5;
    column.at(0) = 6;
    CHECK(rows(share, 2) == std::vector<double>{1, 3});
    CHECK(column == std::vector<double>{6, 5, 4});
}

TEST_CASE("an insert before shared rows is made in a copy") {
    SharedColumn<double> column;
    for (double v : {1.0, 3.0}) column.push_back(v);
    SUBCASE("shared") {
        const auto share = column.share();
        column.insert(1, 2);
        CHECK(rows(share, 2) == std::vector<double>{1, 3});
    }
    SUBCASE("unshared, in place") {
        const double* before = column.data();
        column.insert(1, 2);
        CHECK(column.data() == before);
    }
    CHECK(column == std::vector<double>{1, 2, 3});
}

TEST_CASE("a copied column owns its rows") {
    SharedColumn<double> column;
    column.push_back(1);
    SharedColumn<double> copy = column;
    copy.at(0) = 2;
    CHECK(column[0] == 1);
    CHECK(copy[0] == 2);
}

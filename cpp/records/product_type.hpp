#pragma once
// Product kinds shared by the ticker and positions bindings.
#include <optional>
#include <string_view>

namespace vkb {

enum class ProductType { Stock, Future };

inline std::optional<ProductType> parse_product_type(std::string_view text) {
    if (text == "Stock") return ProductType::Stock;
    if (text == "Future") return ProductType::Future;
    return std::nullopt;
}

inline std::string_view to_string(ProductType type) {
    return type == ProductType::Stock ? "Stock" : "Future";
}

}  // namespace vkb

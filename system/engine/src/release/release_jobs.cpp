#include "release/release_jobs.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "release/config_dir.h"
#include "release/product_resolve.h"

namespace {

// The products list: {"name", "variants"} per product, both sorted by bytes.
Json::Value list_products() {
    const Json::Value& products = release_config_tables().product;
    std::vector<Json::Value> rows;
    if (products.isArray()) {
        for (const Json::Value& product : products) {
            std::vector<std::string> names;
            const Json::Value& variants = product["variants"];
            if (variants.isArray())
                for (const Json::Value& v : variants) names.push_back(v["name"].asString());
            std::sort(names.begin(), names.end());
            Json::Value row;
            row["name"] = product["name"];
            row["variants"] = Json::Value(Json::arrayValue);
            for (const auto& n : names) row["variants"].append(n);
            rows.push_back(row);
        }
    }
    std::sort(rows.begin(), rows.end(), [](const Json::Value& a, const Json::Value& b) {
        return a["name"].asString() < b["name"].asString();
    });
    Json::Value out(Json::arrayValue);
    for (auto& r : rows) out.append(r);
    return out;
}

}  // namespace

void release_generate_work(ReleaseGenerateRequest& request) {
    request.error.clear();
    if (release_load_config_dir(request.path) != 0) {
        request.error = "can't read config files";
        return;
    }
    int rc = -1;
    try {
        rc = release_resolve_product(request.product, request.variant, request.eraseAll, request.eraseAllOnly,
                                     request.output, request.custom);
    } catch (const std::exception& e) {
        // A configuration value of the wrong JSON type.
        printf("error: invalid config value: %s\n", e.what());
        rc = -1;
    }
    if (rc != 0) request.error = "generate release package failed";
    release_free_config();
}

void release_list_products_work(ReleaseListProductsRequest& request) {
    if (release_load_config_dir(request.path) != 0) return;
    try {
        request.products = list_products();
    } catch (const std::exception& e) {
        printf("error: invalid config value: %s\n", e.what());
        request.products = Json::Value();
    }
    release_free_config();
}

#include "release/release_jobs.h"

void release_generate_work(ReleaseGenerateRequest& request) {
    request.error = "can't read config files";
}

void release_list_products_work(ReleaseListProductsRequest& request) {
    request.products = Json::Value();
}

// Release and product-list jobs, run on the worker pool one at a time.
#pragma once

#include "base/requests.h"

void release_generate_work(ReleaseGenerateRequest& request);
void release_list_products_work(ReleaseListProductsRequest& request);

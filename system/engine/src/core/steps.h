// The loop-thread steps and pool jobs behind each posted request.
#pragma once

#include <memory>
#include <string>

#include "base/requests.h"

void download_init_step(std::shared_ptr<DownloadInitRequest> request);
void download_start_step(std::shared_ptr<DownloadStartRequest> request);
void download_enable_device_async(const std::string& path);
void download_stop_async();
void download_get_trainings_async();
void prodmode_start_async();
void prodmode_stop_async();
void release_generate_step(std::shared_ptr<ReleaseGenerateRequest> request);
void release_list_products_step(std::shared_ptr<ReleaseListProductsRequest> request);

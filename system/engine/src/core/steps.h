// The loop-thread steps and pool jobs behind each posted request.
#pragma once

#include <memory>
#include <string>

#include "base/requests.h"

// Loop thread. The exit step closes the package jobs: those still queued are
// dropped and the one running ends without its completion (no event, no
// engine start after the loop has stopped). An init step opens them again.
void package_jobs_close();
void package_jobs_open();

void download_init_step(std::shared_ptr<DownloadInitRequest> request);
void download_start_step(std::shared_ptr<DownloadStartRequest> request);
void download_enable_device_async(const std::string& path);
void download_stop_async();
void download_get_trainings_async();
void prodmode_start_async();
void prodmode_stop_async();
void release_generate_step(std::shared_ptr<ReleaseGenerateRequest> request);
void release_list_products_step(std::shared_ptr<ReleaseListProductsRequest> request);

/* Exported interface of the kelvo engine library. */
#ifndef KELVO_H
#define KELVO_H

#ifdef __cplusplus
extern "C" {
#endif

#define KELVO_EXPORT __attribute__((visibility("default")))

typedef void (*EngineEventCallback)(const char* json, void* user);

KELVO_EXPORT int kelvo_engine_init(void);
KELVO_EXPORT int kelvo_engine_exit(void);
KELVO_EXPORT void kelvo_engine_register_cb(EngineEventCallback cb, void* user);
KELVO_EXPORT void kelvo_engine_unregister_cb(void);

KELVO_EXPORT int kelvo_download_init(const char* json);
KELVO_EXPORT int kelvo_download_start(const char* json);
KELVO_EXPORT int kelvo_download_stop(void);
KELVO_EXPORT int kelvo_download_enable_device(const char* json);
KELVO_EXPORT int kelvo_download_config_trainings(const char* json);
KELVO_EXPORT int kelvo_download_get_trainings(void);

KELVO_EXPORT int kelvo_prodmode_start(void);
KELVO_EXPORT int kelvo_prodmode_stop(void);

KELVO_EXPORT int kelvo_release_generate(const char* json);
KELVO_EXPORT int kelvo_release_list_products(const char* json);

#ifdef __cplusplus
}
#endif

#endif

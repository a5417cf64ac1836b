/* Test-control interface of the stand-in SDK library liblumora.so.
 *
 * Plain C functions, reached from Python tests with ctypes. They let a test
 * read the journal of calls that reached the SDK, steer the loopback
 * service, and make the SDK call a cloud's delegate with exact arguments.
 * Nothing here is part of the SDK interface proper. */
#ifndef LUMORA_CONTROL_H
#define LUMORA_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "vela/lumora_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Journal (see journal/journal.h for the format) ---- */

LUMORA_API void lumora_journal_enable(int enabled); /* off by default */
LUMORA_API void lumora_journal_clear(void);
LUMORA_API size_t lumora_journal_size(void); /* entries held now */
/* Writes the entries from index `first` on as a JSON array into buf
 * (NUL-terminated when it fits) and returns the length the whole text
 * needs, without the NUL. Call with buf_size 0 to ask for the length. */
LUMORA_API size_t lumora_journal_dump(size_t first, char* buf, size_t buf_size);

/* ---- SDK log and settings, as the SDK holds them ---- */

/* Full path of the current log file; returns the length needed. */
LUMORA_API size_t lumora_log_file_path(char* buf, size_t buf_size);
LUMORA_API int lumora_log_level(void);

/* ---- Recycled payload buffers ----
 * Large frame payloads (256 KiB and more) are recycled: the counts of such
 * buffers obtained from the C library and of those handed out again, and
 * the number and total bytes of those kept idle now. Any pointer may be
 * null. */
LUMORA_API void lumora_payload_buffer_stats(uint64_t* allocated, uint64_t* reused, size_t* kept,
                                            size_t* kept_bytes);

/* ---- Clouds of the loopback service ---- */

/* Clouds get ids 1, 2, 3, ... in order of VELACloud::Create. */
LUMORA_API uint64_t lumora_cloud_last_id(void);
LUMORA_API size_t lumora_cloud_live_count(void);
/* Period of OnNetworkQuality reports for a cloud that is in a room;
 * 0 stops them (the default is 0). Returns 0, or -1 for an unknown id. */
LUMORA_API int lumora_cloud_set_quality_interval(uint64_t cloud_id, uint32_t interval_ms);
/* Waits until the cloud's event thread has delivered everything queued so
 * far. Returns 0, 1 on time-out, -1 for an unknown id. */
LUMORA_API int lumora_cloud_wait_idle(uint64_t cloud_id, uint32_t timeout_ms);
/* Delegate calls that ended in an exception, which the SDK caught and
 * logged; the text of the last one goes into buf (length returned). */
LUMORA_API uint64_t lumora_cloud_callback_errors(uint64_t cloud_id);
LUMORA_API size_t lumora_last_callback_error(char* buf, size_t buf_size);
/* Total delegate calls the SDK has started for this cloud. */
LUMORA_API uint64_t lumora_cloud_callback_count(uint64_t cloud_id);

/* ---- Injected delegate calls ----
 * Each makes the SDK call one operation of a cloud's delegate with exactly
 * the given arguments. Texts and payloads are copied first, so the caller's
 * buffers need only be valid for the injecting call. Mode:
 *   LUMORA_INJECT_SYNC        on the calling thread, before returning
 *   LUMORA_INJECT_EVENT       queued on the cloud's event thread, in order
 *                             with the service's own callbacks
 *   LUMORA_INJECT_NEW_THREAD  on a new thread; returns once it has ended
 * Returns 0 when the call was made (or queued), 1 when the delegate raised
 * (caught and logged by the SDK; SYNC and NEW_THREAD only), -1 for an
 * unknown or destroyed cloud, a cloud without a delegate, or a bad mode. */
enum { LUMORA_INJECT_SYNC = 0, LUMORA_INJECT_EVENT = 1, LUMORA_INJECT_NEW_THREAD = 2 };

/* One injection per delegate callback, in the delegate's order. The list is
 * written out here, in control_cloud.cpp and in the ctypes signatures of
 * lumora_kit/testing/control.py; tests/kit/test_kit_catalogue.py compares
 * them. */
LUMORA_API int lumora_inject_error(uint64_t cloud, int mode, int error);
LUMORA_API int lumora_inject_connection_state_changed(uint64_t cloud, int mode, unsigned old_state,
                                                      unsigned new_state);
LUMORA_API int lumora_inject_enter_room(uint64_t cloud, int mode);
LUMORA_API int lumora_inject_exit_room(uint64_t cloud, int mode);
LUMORA_API int lumora_inject_local_audio_channel_created(uint64_t cloud, int mode);
LUMORA_API int lumora_inject_local_audio_channel_destroyed(uint64_t cloud, int mode);
LUMORA_API int lumora_inject_local_video_channel_created(uint64_t cloud, int mode, int stream_type);
LUMORA_API int lumora_inject_local_video_channel_destroyed(uint64_t cloud, int mode, int stream_type);
LUMORA_API int lumora_inject_request_change_video_encode_bitrate(uint64_t cloud, int mode, int stream_type,
                                                                 int bitrate_bps);
LUMORA_API int lumora_inject_request_key_frame(uint64_t cloud, int mode, int stream_type);
/* user_id may be null (a UserInfo whose text is null). */
LUMORA_API int lumora_inject_remote_user_enter_room(uint64_t cloud, int mode, const char* user_id);
LUMORA_API int lumora_inject_remote_user_exit_room(uint64_t cloud, int mode, const char* user_id, int reason);
LUMORA_API int lumora_inject_remote_audio_available(uint64_t cloud, int mode, const char* user_id,
                                                    int available);
LUMORA_API int lumora_inject_remote_video_available(uint64_t cloud, int mode, const char* user_id,
                                                    int available, int stream_type);
LUMORA_API int lumora_inject_remote_video_frame(uint64_t cloud, int mode, const char* user_id, int stream_type,
                                                uint32_t pts, uint32_t dts, int is_key_frame, unsigned codec,
                                                unsigned rotation, const uint8_t* data, size_t size);
LUMORA_API int lumora_inject_remote_pixel_frame(uint64_t cloud, int mode, const char* user_id, int stream_type,
                                                uint32_t pts, uint32_t width, uint32_t height, unsigned format,
                                                unsigned rotation, const uint8_t* data, size_t size);
LUMORA_API int lumora_inject_remote_audio(uint64_t cloud, int mode, const char* user_id, int sample_rate,
                                          int channels, int bits_per_sample, unsigned codec, uint32_t pts,
                                          int has_voice, const uint8_t* data, size_t size);
LUMORA_API int lumora_inject_remote_mixed_audio(uint64_t cloud, int mode, int sample_rate, int channels,
                                                int bits_per_sample, unsigned codec, uint32_t pts, int has_voice,
                                                const uint8_t* data, size_t size);
/* message may be null only with length 0. */
LUMORA_API int lumora_inject_sei_message(uint64_t cloud, int mode, const char* user_id, int stream_type,
                                         int message_type, const char* message, size_t length);
LUMORA_API int lumora_inject_custom_cmd_msg(uint64_t cloud, int mode, const char* user_id, int32_t cmd_id,
                                            uint32_t seq, const char* message, size_t length);
LUMORA_API int lumora_inject_miss_custom_cmd_msg(uint64_t cloud, int mode, const char* user_id, int32_t cmd_id,
                                                 uint32_t error_code, uint32_t missed);
/* has_local 0 passes a null local record. remote_user_ids[i] may be null.
 * remote_count records are passed (remote pointer null when 0). */
LUMORA_API int lumora_inject_network_quality(uint64_t cloud, int mode, int has_local, const char* local_user_id,
                                             unsigned local_quality, size_t remote_count,
                                             const char* const* remote_user_ids, const unsigned* remote_qualities);

/* ---- Held threads ----
 * lumora_held_thread_start starts a thread that calls the cloud's delegate's
 * OnEnterRoom once and then waits; returns a handle, or 0 for an unknown
 * cloud or a cloud without a delegate. lumora_held_thread_join lets it end
 * and joins it, whatever lock the caller holds; returns what the call gave
 * (0 done, 1 the delegate raised, -1 skipped) or -2 for an unknown handle. */
LUMORA_API uint64_t lumora_held_thread_start(uint64_t cloud_id);
LUMORA_API int lumora_held_thread_join(uint64_t handle);

#ifdef __cplusplus
}
#endif

#endif /* LUMORA_CONTROL_H */

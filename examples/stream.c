/*
 * Streams ten seconds from a headset and prints per-channel statistics: the
 * whole order of calls a host needs (connect, channel settings,
 * configuration upload, start, stop).
 *
 * Usage: stream [NAME]   (default: "CY KESTREL 5")
 * Without hardware:  CYCORE_BLE_BACKEND=virtual ./stream
 */
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <cycore.h>

#define SECONDS 10
#define RATE_HZ 250
#define MAX_ELECTRODES 32

/* Filled by the chunk callback on the library's BLE thread; read by main. */
typedef struct stream_stats {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  size_t electrodes;
  int64_t positions[MAX_ELECTRODES]; /* chunk position of each electrode */
  int64_t streaming_position;        /* chunk position of the gap flag */
  int ready;                         /* positions are known */
  uint64_t samples;
  uint64_t filled;                   /* samples inserted for lost packets */
  uint64_t early;                    /* arrived before the positions were known */
  double sum[MAX_ELECTRODES];
  double sum_squares[MAX_ELECTRODES];
  double min[MAX_ELECTRODES];
  double max[MAX_ELECTRODES];
} stream_stats;

static void on_chunk(const void* const* channel_data, size_t sample_count, void* user_data) {
  stream_stats* s = (stream_stats*)user_data;
  pthread_mutex_lock(&s->lock);
  /* Ten seconds exactly: what arrives until the stop is not measured. */
  const uint64_t wanted = (uint64_t)SECONDS * RATE_HZ;
  if (s->samples + sample_count > wanted) sample_count = (size_t)(wanted - (s->samples < wanted ? s->samples : wanted));
  if (!s->ready) {
    s->early += sample_count;
    s->samples += sample_count;
    pthread_mutex_unlock(&s->lock);
    return;
  }
  const uint8_t* streaming = (const uint8_t*)channel_data[s->streaming_position];
  for (size_t i = 0; i < sample_count; ++i) {
    if (streaming[i] == 0) {
      ++s->filled;
      continue;
    }
    for (size_t e = 0; e < s->electrodes; ++e) {
      const double v = ((const double*)channel_data[s->positions[e]])[i]; /* microvolts */
      s->sum[e] += v;
      s->sum_squares[e] += v * v;
      if (v < s->min[e]) s->min[e] = v;
      if (v > s->max[e]) s->max[e] = v;
    }
  }
  s->samples += sample_count;
  pthread_cond_signal(&s->changed);
  pthread_mutex_unlock(&s->lock);
}

static int failed(const char* what, cy_error code) {
  fprintf(stderr, "%s failed: error %d\n", what, (int)code);
  return 1;
}

static int stream(cy_eeg_manager* m, const char* name, stream_stats* s) {
  cy_error r = cy_eeg_manager_connect(m, name, NULL, NULL);
  if (r != CY_OK) return failed("connect", r);
  const cy_device_features* features = cy_core_device_features_get(cy_eeg_manager_get_device_info(m));
  s->electrodes = cy_core_device_features_electrode_count(features);
  if (s->electrodes > MAX_ELECTRODES) s->electrodes = MAX_ELECTRODES;

  /* Channel settings: rate, channels, gains. */
  r = cy_eeg_manager_set_data_stream_rate(m, CY_RATE_HZ_250);
  if (r != CY_OK) return failed("set_data_stream_rate", r);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
  cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
  for (size_t e = 0; e < s->electrodes; ++e) {
    const uint16_t id = (uint16_t)(CY_CHANNEL_ELECTRODE_MEASUREMENT + e);
    cy_eeg_manager_set_channel_enabled(m, id, true);
    cy_eeg_manager_set_channel_gain(m, id, CY_GAIN_X8);
  }
  cy_eeg_manager_set_impedance_mode(m, CY_IMPEDANCE_OFF);
  /* The settings reach the headset only with the configuration upload. */
  r = cy_eeg_manager_load_config(m, NULL, NULL);
  if (r != CY_OK) return failed("load_config", r);

  cy_eeg_manager_set_callback_chunk(m, on_chunk, s);
  r = cy_eeg_manager_start_stream(m, NULL, NULL);
  if (r != CY_OK) return failed("start_stream", r);
  /* The chunk layout is known once the stream has started. The library is
     not called with our lock held: the callback holds the library's stream
     lock while it waits for ours. */
  int64_t positions[MAX_ELECTRODES];
  for (size_t e = 0; e < s->electrodes; ++e) {
    positions[e] = cy_eeg_manager_get_channel_index(m, (uint16_t)(CY_CHANNEL_ELECTRODE_MEASUREMENT + e));
  }
  const int64_t streaming_position = cy_eeg_manager_get_channel_index(m, CY_CHANNEL_STREAMING);
  pthread_mutex_lock(&s->lock);
  memcpy(s->positions, positions, sizeof positions);
  s->streaming_position = streaming_position;
  s->ready = 1;
  while (s->samples < (uint64_t)SECONDS * RATE_HZ) pthread_cond_wait(&s->changed, &s->lock);
  pthread_mutex_unlock(&s->lock);
  /* The stop delivers the last, possibly short, chunk on this thread. */
  r = cy_eeg_manager_stop_stream(m, NULL, NULL);
  if (r != CY_OK) return failed("stop_stream", r);
  cy_eeg_manager_disconnect(m);
  return 0;
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "CY KESTREL 5";
  stream_stats s;
  memset(&s, 0, sizeof s);
  pthread_mutex_init(&s.lock, NULL);
  pthread_cond_init(&s.changed, NULL);
  for (size_t e = 0; e < MAX_ELECTRODES; ++e) {
    s.min[e] = HUGE_VAL;
    s.max[e] = -HUGE_VAL;
  }
  if (cy_core_init() != CY_OK) return 1;
  cy_eeg_manager* m = cy_eeg_manager_new();
  const int result = m == NULL ? 1 : stream(m, name, &s);
  cy_eeg_manager_free(m);
  cy_core_close();
  if (result != 0) return result;

  const uint64_t measured = s.samples - s.filled - s.early;
  printf("%s: %llu samples in %d s (%llu filled for lost packets, %llu measured)\n", name,
         (unsigned long long)s.samples, SECONDS, (unsigned long long)s.filled, (unsigned long long)measured);
  printf("channel      mean uV     std uV     min uV     max uV\n");
  for (size_t e = 0; e < s.electrodes && measured > 0; ++e) {
    const double mean = s.sum[e] / (double)measured;
    const double variance = s.sum_squares[e] / (double)measured - mean * mean;
    printf("E%-4zu %12.2f %10.2f %10.2f %10.2f\n", e + 1, mean, sqrt(variance > 0.0 ? variance : 0.0),
           s.min[e], s.max[e]);
  }
  pthread_cond_destroy(&s.changed);
  pthread_mutex_destroy(&s.lock);
  return 0;
}

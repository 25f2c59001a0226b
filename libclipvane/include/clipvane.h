/*
 * libclipvane: reading Clipvane movie containers and decoding their audio.
 *
 * A container holds a 48-byte header, one record per video frame (the frame's
 * video payload followed by its audio packets), one codebook per audio channel
 * and a seek table of key frames. This interface opens a container, walks and
 * seeks its records and decodes their audio to interleaved 16-bit samples,
 * bit for bit as the converter's -debugsound file.
 *
 * The container does not record where a frame's video payload ends: the video
 * decoder knows it (it consumes the payload). Calls that touch a record's audio
 * therefore take the video payload's size in bytes, and check that the audio
 * packets which follow it fill the rest of the record exactly.
 *
 * Conventions: functions return CLIPVANE_OK (0) or a count on success and a
 * negative CLIPVANE_ERROR_* code on failure; clipvane_error_string() names each
 * code. Handles are opaque and allocated by the library. Every size and offset
 * read from a file is checked against the file's size before use: a damaged or
 * hostile file gives an error code, never a read outside the file or an
 * allocation larger than the file justifies. No C++ exception leaves a
 * function: a failed allocation gives CLIPVANE_ERROR_MEMORY, and an exception
 * thrown by a C++ read or seek callback gives CLIPVANE_ERROR_IO.
 *
 * Threads: a handle may be used by one thread at a time. Different handles are
 * independent and may be used from different threads at once; a decoder keeps
 * no pointer into the container it was created from.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef CLIPVANE_H
#define CLIPVANE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(CLIPVANE_SHARED_BUILD)
#define CLIPVANE_API __declspec(dllexport)
#else
#define CLIPVANE_API
#endif
#elif defined(__GNUC__)
#define CLIPVANE_API __attribute__((visibility("default")))
#else
#define CLIPVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define CLIPVANE_VERSION_MAJOR 1
#define CLIPVANE_VERSION_MINOR 6
#define CLIPVANE_VERSION_PATCH 0
/* The version as one comparable number: major * 10000 + minor * 100 + patch. */
#define CLIPVANE_VERSION (CLIPVANE_VERSION_MAJOR * 10000 + CLIPVANE_VERSION_MINOR * 100 + CLIPVANE_VERSION_PATCH)
#define CLIPVANE_VERSION_STRING "1.6.0"

/* Samples of each channel in one audio block. */
#define CLIPVANE_BLOCK_SAMPLES 128
/* Audio packets are 10, 12, 14 or 20 bytes. */
#define CLIPVANE_MIN_PACKET_BYTES 10
#define CLIPVANE_MAX_PACKET_BYTES 20
/* One channel's codebook image. */
#define CLIPVANE_CODEBOOK_IMAGE_BYTES 3124
/* The most channels a container holds. */
#define CLIPVANE_MAX_CHANNELS 2
/* The largest frame record (the 16-bit size field plus 2). */
#define CLIPVANE_MAX_RECORD_BYTES 65537

enum clipvane_status {
  CLIPVANE_OK = 0,
  CLIPVANE_ERROR_ARGUMENT = -1,      /* a null pointer or an out-of-range argument */
  CLIPVANE_ERROR_MEMORY = -2,        /* an allocation failed */
  CLIPVANE_ERROR_IO = -3,            /* the file could not be opened, read or sought */
  CLIPVANE_ERROR_NOT_CONTAINER = -4, /* shorter than a header, or not "QKDS" */
  CLIPVANE_ERROR_HEADER = -5,        /* header fields that contradict each other or the file */
  CLIPVANE_ERROR_RECORDS = -6,       /* frame records that do not tile their part of the file */
  CLIPVANE_ERROR_SEEK_TABLE = -7,    /* a seek entry out of order or not at its record */
  CLIPVANE_ERROR_NO_FRAME = -8,      /* no record (or no key frame) for the frame asked for */
  CLIPVANE_ERROR_PACKET = -9,        /* a packet shorter than its packet mode says */
  CLIPVANE_ERROR_AUDIO_LAYOUT = -10, /* the packets after the video payload do not fill the record */
  CLIPVANE_ERROR_BUFFER = -11,       /* the caller's buffer is too small */
  CLIPVANE_ERROR_NO_AUDIO = -12      /* the container has no audio */
};

/* The version of the library linked, as CLIPVANE_VERSION and CLIPVANE_VERSION_STRING. */
CLIPVANE_API int clipvane_version(void);
CLIPVANE_API const char *clipvane_version_string(void);

/* A short English description of a status code; never NULL. */
CLIPVANE_API const char *clipvane_error_string(int code);

/* ---- Containers ---------------------------------------------------------- */

typedef struct clipvane_container clipvane_container;

/* The header's twelve fields, with the format's own names. */
typedef struct clipvane_header {
  char magic[4];               /* "QKDS" */
  uint32_t frameCount;         /* video frames announced by the input (records may be fewer) */
  int32_t width;
  int32_t height;
  uint32_t frameRate;          /* frames per second, unsigned 16.16 */
  uint32_t videoCodecData;
  uint32_t audioSampleRate;    /* samples per second of each channel; 0 without audio */
  uint32_t audioChannels;      /* 0 without audio */
  uint32_t maxFrameRecordSize; /* bytes of the largest record */
  uint32_t codebookOffset;     /* 0 without audio */
  uint32_t seekTableOffset;
  uint32_t seekEntryCount;
} clipvane_header;

typedef struct clipvane_seek_entry {
  uint32_t frame;  /* a key frame of the input */
  uint32_t offset; /* file offset of its record; 0 when the conversion did not reach it */
} clipvane_seek_entry;

/* Caller-supplied input, for containers inside the player's own archives. */
#define CLIPVANE_SEEK_SET 0
#define CLIPVANE_SEEK_CUR 1
#define CLIPVANE_SEEK_END 2
typedef struct clipvane_io {
  /* Reads up to `size` bytes at the current position into `buffer`; returns
     the number read (fewer only at the end of the data) or -1 on failure. */
  int64_t (*read)(void *user, void *buffer, size_t size);
  /* Moves the position to `offset` from the start, the current position or
     the end (CLIPVANE_SEEK_*); returns the new position from the start, or -1. */
  int64_t (*seek)(void *user, int64_t offset, int whence);
} clipvane_io;

/* Opens a container. The header, every record's place, the codebooks and the
   seek table are read and checked here; *out receives the handle. */
CLIPVANE_API int clipvane_open_file(const char *path, clipvane_container **out);
/* The same through callbacks. `io` is copied; `user` must stay valid until
   clipvane_close. Nothing is closed on the caller's behalf. */
CLIPVANE_API int clipvane_open_io(const clipvane_io *io, void *user, clipvane_container **out);
CLIPVANE_API void clipvane_close(clipvane_container *container);

CLIPVANE_API int clipvane_get_header(const clipvane_container *container, clipvane_header *out);
/* Size of the container's data in bytes. */
CLIPVANE_API uint64_t clipvane_file_size(const clipvane_container *container);
/* Number of frame records in the file (frames 0 .. count - 1). */
CLIPVANE_API uint32_t clipvane_frame_count(const clipvane_container *container);
CLIPVANE_API uint32_t clipvane_seek_entry_count(const clipvane_container *container);
CLIPVANE_API int clipvane_get_seek_entry(const clipvane_container *container, uint32_t index,
                                         clipvane_seek_entry *out);
/* The number of the last key frame at or before `frame` that has a record, or
   a negative code (CLIPVANE_ERROR_NO_FRAME when there is none). */
CLIPVANE_API int64_t clipvane_key_frame_at_or_before(const clipvane_container *container, uint32_t frame);

typedef struct clipvane_record {
  uint32_t frame;         /* the record's frame number */
  uint32_t offset;        /* file offset of the record */
  uint32_t size;          /* bytes of the whole record, its two 16-bit fields included */
  uint32_t blockCount;    /* audio blocks (each 128 samples of every channel) */
  int keyFrame;           /* nonzero when the seek table points at this record */
  const uint8_t *payload; /* the bytes after the two 16-bit fields: video, audio, padding */
  uint32_t payloadBytes;  /* size - 4 */
} clipvane_record;

/* Reads the record of `frame` and makes it the current one: the next call of
   clipvane_next_record gives frame + 1. `payload` stays valid until the next
   record is read from this container or the container is closed. */
CLIPVANE_API int clipvane_read_record(clipvane_container *container, uint32_t frame, clipvane_record *out);
/* Reads the record after the current one (frame 0 after opening); returns 1
   with a record, 0 after the last one, or a negative code. */
CLIPVANE_API int clipvane_next_record(clipvane_container *container, clipvane_record *out);
/* Makes the next call of clipvane_next_record give `frame`. */
CLIPVANE_API int clipvane_rewind(clipvane_container *container, uint32_t frame);

/* Checks that the record's audio packets, starting `videoBytes` into the
   payload, fill the record up to 0..3 zero bytes of padding; returns the
   bytes of audio packets, or a negative code. */
CLIPVANE_API int clipvane_record_audio_bytes(const clipvane_container *container, const clipvane_record *record,
                                             uint32_t videoBytes);
/* Lists every video payload size for which the check above holds, in
   increasing order, up to `capacity` of them; returns how many exist. The
   container alone does not say which one is right: this is a consistency
   test for a size that came from elsewhere. */
CLIPVANE_API int clipvane_find_video_sizes(const clipvane_container *container, const clipvane_record *record,
                                           uint32_t *sizes, size_t capacity);

/* Reads one channel's codebook image (CLIPVANE_CODEBOOK_IMAGE_BYTES bytes). */
CLIPVANE_API int clipvane_get_codebook(const clipvane_container *container, uint32_t channel, uint8_t *image);

/* ---- Audio ----------------------------------------------------------------- */

typedef struct clipvane_decoder clipvane_decoder;

/* A decoder for every channel of a container, with its codebooks. */
CLIPVANE_API int clipvane_decoder_create(const clipvane_container *container, clipvane_decoder **out);
/* A decoder from `channels` codebook images laid end to end (channel 0
   first), for decoding single packets. */
CLIPVANE_API int clipvane_decoder_create_from_codebooks(const uint8_t *images, uint32_t channels,
                                                        clipvane_decoder **out);
CLIPVANE_API void clipvane_decoder_destroy(clipvane_decoder *decoder);
CLIPVANE_API uint32_t clipvane_decoder_channels(const clipvane_decoder *decoder);
/* Returns every channel to its state at creation (silence until a key block). */
CLIPVANE_API void clipvane_decoder_reset(clipvane_decoder *decoder);

/* Decodes a record's audio into `samples`, interleaved (channel 0 first),
   blockCount * 128 frames of all channels. The record's video payload is
   `videoBytes` long. At a key frame the decoder's states are reset first, as
   the converter's key blocks allow, so decoding may start at any key frame.
   Returns the samples written per channel, or a negative code; nothing is
   decoded when the layout check of clipvane_record_audio_bytes fails. */
CLIPVANE_API int64_t clipvane_decode_record(clipvane_decoder *decoder, const clipvane_record *record,
                                            uint32_t videoBytes, int16_t *samples, size_t capacity);
/* Decodes one packet of `channel` from exactly `length` readable bytes into
   128 samples. Returns the bytes the packet used (10, 12, 14 or 20), or
   CLIPVANE_ERROR_PACKET when `length` is shorter than the packet; no byte
   beyond `length` is read. */
CLIPVANE_API int clipvane_decode_packet(clipvane_decoder *decoder, uint32_t channel, const uint8_t *packet,
                                        size_t length, int16_t samples[CLIPVANE_BLOCK_SAMPLES]);

#ifdef __cplusplus
}
#endif

#endif /* CLIPVANE_H */

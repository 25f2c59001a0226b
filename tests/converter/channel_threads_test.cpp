// Channels encoded and trained side by side give the bytes of a run on one
// thread, and the plain kernels those of the fastest ones: the container, the
// side file and the debug sound. (The golden hashes pin the fast run's bytes.)
//
// Every conversion runs in a child process of its own, as the tool runs one
// conversion per process.

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <process.h>  // getpid
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "converter/movie_converter.h"

namespace clipvane {
namespace {

namespace fs = std::filesystem;

std::vector<char> Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The driver's sequence: open, collect, train, load, convert.
bool Convert(const std::string& input, const fs::path& folder, int threads, bool plain, int effort) {
  CMovieConverter converter;
  converter.SetThreadCount(threads);
  if (plain) converter.UsePlainKernels();
  if (converter.Open(input, (folder / "out.qkds").string(), (folder / "out.wav").string(), 128.0f, effort) != nullptr) {
    return false;
  }
  if (converter.AudioSampleRate() != 0) {
    if (converter.DecideCodebookRebuild(true, false)) {
      while (converter.CollectStep()) {
      }
      float progress = 0.0f;
      while (converter.BuildStep()) {
        if (converter.BuildProgress() + 1e-6f < progress) return false;  // progress never goes back
        progress = converter.BuildProgress();
      }
      if (converter.Failed() || converter.BuildProgress() != 1.0f) return false;
    }
    if (!converter.LoadCodebook()) return false;
  }
  while (converter.ConvertStep()) {
  }
  return !converter.Failed();
}

bool ConvertInChild(const std::string& sample, const fs::path& folder, int threads, bool plain = false,
                    int effort = 0) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string input = (folder / "movie.avi").string();
  fs::copy_file(std::string(CLIPVANE_TEST_DATA_DIR) + "/" + sample, input);
#if defined(_WIN32)
  // No fork here; a converter keeps all its state, so one in this process
  // converts as one in a process of its own would.
  return Convert(input, folder, threads, plain, effort);
#else
  const pid_t child = fork();
  if (child == 0) _exit(Convert(input, folder, threads, plain, effort) ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

TEST(ThreadsAndKernels, GiveTheBytesOfOneThreadWithPlainKernels) {
  const fs::path scratch = fs::path(::testing::TempDir()) / ("channel_threads_" + std::to_string(getpid()));
  for (const char* sample : {"p01_ff_mpeg4_25fps_speech_mono22050.avi", "p02_ff_mpeg4_2997fps_chord_stereo44100.avi",
                             "p03_ff_mjpeg_15fps_sweep_mono16000.avi",
                             "p04_ff_QKS1_upper_24fps_speech_noise_stereo48000.avi",
                             "p06_gst_avimux_mpeg4_25fps_speech_mono32000.avi",
                             "p07_menc_mpeg4_25fps_speech_mono11025.avi", "p08_ff_audio_longer_than_video_mono8000.avi",
                             "p09_ff_video_longer_than_audio_clipping_stereo32000.avi",
                             "p10_ff_handler0_bicompression_qks1_silence_mono8000.avi",
                             "p11_ff_audio_scale_blockalign_speech_mono22050.avi", "p19_trunc_mid_movi.avi"}) {
    SCOPED_TRACE(sample);
    ASSERT_TRUE(ConvertInChild(sample, scratch / "one", 1));
    ASSERT_TRUE(ConvertInChild(sample, scratch / "two", 2));
    ASSERT_TRUE(ConvertInChild(sample, scratch / "plain", 1, true));
    for (const char* file : {"out.qkds", "movie.cbk", "out.wav"}) {
      SCOPED_TRACE(file);
      const std::vector<char> one = Bytes(scratch / "one" / file);
      EXPECT_GT(one.size(), 44u);
      EXPECT_TRUE(one == Bytes(scratch / "two" / file));
      EXPECT_TRUE(one == Bytes(scratch / "plain" / file));
    }
  }
  fs::remove_all(scratch);
}

// The closed-loop efforts too, on two short movies (mono and stereo).
TEST(ThreadsAndKernels, GiveTheBytesOfOneThreadWithPlainKernelsAtEveryEffort) {
  const fs::path scratch = fs::path(::testing::TempDir()) / ("channel_efforts_" + std::to_string(getpid()));
  for (const char* sample :
       {"p08_ff_audio_longer_than_video_mono8000.avi", "p09_ff_video_longer_than_audio_clipping_stereo32000.avi"}) {
    for (int effort = 1; effort <= 2; ++effort) {
      SCOPED_TRACE(std::string(sample) + " effort " + std::to_string(effort));
      ASSERT_TRUE(ConvertInChild(sample, scratch / "two", 2, false, effort));
      ASSERT_TRUE(ConvertInChild(sample, scratch / "plain", 1, true, effort));
      for (const char* file : {"out.qkds", "movie.cbk", "out.wav"}) {
        SCOPED_TRACE(file);
        const std::vector<char> two = Bytes(scratch / "two" / file);
        EXPECT_GT(two.size(), 44u);
        EXPECT_TRUE(two == Bytes(scratch / "plain" / file));
      }
    }
  }
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace clipvane

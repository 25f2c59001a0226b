#include "avi/avi_reader.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "avi/index_builder.h"
#include "avi/movie_layout.h"
#include "avi/reader_impl.h"
#include "avi/riff.h"

namespace clipvane::avi {
namespace {

// Every chunk costs at least its 8-byte header, so no honest index of this
// file lists more chunks than this; frame numbers must also fit 32 bits.
uint64_t MaxChunksFor(uint64_t fileSize) {
  return std::min<uint64_t>(fileSize / kChunkHeaderBytes + 1, uint64_t(std::numeric_limits<int32_t>::max()));
}

// Builds the chunk list of one stream from the most trustworthy index that
// lists any of its chunks. The idx1 and scan results are shared between the
// two streams, so they are computed at most once.
class StreamIndexer {
 public:
  StreamIndexer(ByteSource& source, const MovieLayout& layout)
      : source_(source), layout_(layout), maxChunks_(MaxChunksFor(source.Size())) {}

  IndexSource Build(const StreamInfo& stream, bool isVideo, std::vector<ChunkRef>* chunks) {
    if (ReadOpenDmlIndex(source_, stream, maxChunks_, chunks)) return IndexSource::kOpenDml;
    if (!idx1Done_) {
      idx1Done_ = true;
      idx1Usable_ = ReadIdx1Index(source_, layout_, maxChunks_, &idx1Video_, &idx1Audio_, &idx1Absolute_);
    }
    if (idx1Usable_ && !(isVideo ? idx1Video_ : idx1Audio_).empty()) {
      *chunks = std::move(isVideo ? idx1Video_ : idx1Audio_);
      return idx1Absolute_ ? IndexSource::kIdx1Absolute : IndexSource::kIdx1Relative;
    }
    if (!scanDone_) {
      scanDone_ = true;
      ScanMoviLists(source_, layout_, maxChunks_, &scanVideo_, &scanAudio_);
    }
    *chunks = std::move(isVideo ? scanVideo_ : scanAudio_);
    // Without an index nothing says which frames a decoder can start from,
    // and the codec's bitstream is opaque to us. Only the first frame that
    // carries data is certain to be one: marking more could send a player's
    // seek to a frame it cannot decode.
    if (isVideo) {
      const auto first = std::find_if(chunks->begin(), chunks->end(), [](const ChunkRef& c) { return c.size > 0; });
      if (first != chunks->end()) first->key = true;
    }
    return IndexSource::kScan;
  }

 private:
  ByteSource& source_;
  const MovieLayout& layout_;
  uint64_t maxChunks_;
  bool idx1Done_ = false;
  bool idx1Usable_ = false;
  bool idx1Absolute_ = false;
  std::vector<ChunkRef> idx1Video_;
  std::vector<ChunkRef> idx1Audio_;
  bool scanDone_ = false;
  std::vector<ChunkRef> scanVideo_;
  std::vector<ChunkRef> scanAudio_;
};

}  // namespace

AviReader::AviReader() : impl_(std::make_unique<Impl>()) {}
AviReader::~AviReader() = default;

bool AviReader::Open(const std::string& path) {
  Close();
  auto file = std::make_unique<FileByteSource>();
  if (!file->Open(path)) return false;
  impl_->source = std::move(file);
  return OpenSource();
}

bool AviReader::OpenBuffer(std::vector<uint8_t> bytes) {
  Close();
  impl_->source = std::make_unique<MemoryByteSource>(std::move(bytes));
  return OpenSource();
}

bool AviReader::OpenSource() {
  ByteSource& source = *impl_->source;
  MovieLayout layout;
  if (!ReadMovieLayout(source, &layout) || !layout.hasHeaderList || layout.moviLists.empty()) {
    Close();
    return false;
  }
  StreamIndexer indexer(source, layout);
  if (layout.video.number >= 0) {
    hasVideo_ = true;
    videoHeader_ = layout.video.header;
    videoFormat_ = std::move(layout.video.format);
    videoIndexSource_ = indexer.Build(layout.video, true, &videoChunks_);
    videoChunks_.shrink_to_fit();
    for (size_t i = 0; i < videoChunks_.size(); ++i) {
      if (videoChunks_[i].key) impl_->keyFrames.push_back(int32_t(i));
    }
  }
  if (layout.audio.number >= 0) {
    hasAudio_ = true;
    audioHeader_ = layout.audio.header;
    audioFormat_ = std::move(layout.audio.format);
    audioIndexSource_ = indexer.Build(layout.audio, false, &audioChunks_);
    // Empty audio chunks hold no samples and would only complicate the
    // lookup of the chunk that holds a sample frame.
    std::erase_if(audioChunks_, [](const ChunkRef& c) { return c.size == 0; });
    audioChunks_.shrink_to_fit();
    audioChunkStart_.reserve(audioChunks_.size());
    for (const ChunkRef& chunk : audioChunks_) {
      audioChunkStart_.push_back(audioBytes_);
      audioBytes_ += chunk.size;
    }
  }
  return true;
}

void AviReader::Close() {
  impl_ = std::make_unique<Impl>();
  hasVideo_ = false;
  hasAudio_ = false;
  videoHeader_ = StreamHeader();
  audioHeader_ = StreamHeader();
  videoFormat_ = {};
  audioFormat_ = {};
  videoChunks_ = {};
  audioChunks_ = {};
  audioChunkStart_ = {};
  audioBytes_ = 0;
  videoIndexSource_ = IndexSource::kNone;
  audioIndexSource_ = IndexSource::kNone;
}

int32_t AviReader::FindKeyFrame(int32_t position) const {
  const std::vector<int32_t>& keys = impl_->keyFrames;
  const auto it = std::lower_bound(keys.begin(), keys.end(), position);
  return it == keys.end() ? -1 : *it;
}

bool AviReader::FrameSize(int32_t frame, uint32_t* bytes) const {
  if (frame < 0 || size_t(frame) >= videoChunks_.size()) return false;
  *bytes = videoChunks_[size_t(frame)].size;
  return true;
}

bool AviReader::FrameInFile(int32_t frame) const {
  if (frame < 0 || size_t(frame) >= videoChunks_.size() || !impl_->source) return false;
  const ChunkRef& chunk = videoChunks_[size_t(frame)];
  return impl_->source->Holds(chunk.offset, chunk.size);
}

bool AviReader::ReadFrame(int32_t frame, std::vector<uint8_t>& out) {
  // Checked before resizing, so a lying index never causes a large allocation.
  if (!FrameInFile(frame)) return false;
  const ChunkRef& chunk = videoChunks_[size_t(frame)];
  out.resize(chunk.size);
  return impl_->source->ReadAt(chunk.offset, out.data(), out.size());
}

}  // namespace clipvane::avi

// Fuzz target: dump text as orv-load reads it. The input's first byte picks
// the reading mode (bit 0: plain text as under -T); the rest is the text,
// read through the tool's own reader (read_header, read_data) the way its
// main loop reads it: a header, then key and value lines up to the section
// end, section after section.
//
// Any outcome the reader reports is fine; a crash, a hang, a read outside
// a line buffer or a leak is a finding.
#include <cstdint>
#include <cstdio>

// The tool's loading half is compiled in but not called.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wunused-function"
#define ORV_LOAD_NO_MAIN
#include "../tools/orv-load.cc"
#pragma clang diagnostic pop

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // Small line buffers, so that inputs reach the doubling early.
  constexpr size_t kStartLine = 16;
  FILE *in = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
  if (in == nullptr) return 0;
  DumpReader rd;
  rd.in = in;
  rd.plain = data[0] & 1;
  rd.print = rd.plain;
  LineBuf key;
  if (buf_init(&rd.line, kStartLine) && buf_init(&key, kStartLine)) {
    // A bounded number of sections: every one consumes at least a line.
    for (int section = 0; section < 1000 && !rd.eof; section++) {
      if (!rd.plain && read_header(&rd) != HeaderRead::kHeader) break;
      bool stop = false;
      for (;;) {
        ORV_val k, v;
        const DataRead kr = read_data(&rd, &key, &k);
        if (kr != DataRead::kData) {
          stop = kr == DataRead::kError;
          break;
        }
        // The key stays in its own buffer while the value is read.
        volatile uint8_t sink = k.mv_size ? static_cast<uint8_t *>(k.mv_data)[k.mv_size - 1] : 0;
        (void)sink;
        const DataRead vr = read_data(&rd, &rd.line, &v);
        if (vr != DataRead::kData) {
          stop = true;
          break;
        }
        if (v.mv_size) sink = static_cast<uint8_t *>(v.mv_data)[v.mv_size - 1];
      }
      if (stop || rd.plain) break;
    }
  }
  buf_free(&key);
  buf_free(&rd.line);
  std::free(rd.dbname);
  std::fclose(in);
  return 0;
}

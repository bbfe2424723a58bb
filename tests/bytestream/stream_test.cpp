#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "aStream.h"
#include "aStreamInternal.h"

namespace {

// A scripted transport: get hands out the queued bytes, then answers `dry`
// (aErrNotReady or aErrEOF); put and write record what they were given.
struct Fake {
  std::deque<uint8_t> in;
  aErr dry = aErrNotReady;
  aErr failGetWith = aErrNone;  // when set, get fails with it once `in` is empty
  std::string out;
  int puts = 0;
  int writes = 0;
  int putFailsAt = -1;  // the put with this index fails with aErrIO
  int deletes = 0;
  int getCalls = 0;

  void feed(const std::string& s) { in.insert(in.end(), s.begin(), s.end()); }
};

aErr fakeGet(uint8_t* b, void* ref)
{
  auto* f = static_cast<Fake*>(ref);
  ++f->getCalls;
  if (f->in.empty())
    return f->failGetWith != aErrNone ? f->failGetWith : f->dry;
  *b = f->in.front();
  f->in.pop_front();
  return aErrNone;
}

aErr fakePut(const uint8_t* b, void* ref)
{
  auto* f = static_cast<Fake*>(ref);
  if (f->puts++ == f->putFailsAt)
    return aErrIO;
  f->out.push_back(static_cast<char>(*b));
  return aErrNone;
}

aErr fakeWrite(const uint8_t* d, uint64_t n, void* ref)
{
  auto* f = static_cast<Fake*>(ref);
  ++f->writes;
  f->out.append(reinterpret_cast<const char*>(d), n);
  return aErrNone;
}

aErr fakeDelete(void* ref)
{
  ++static_cast<Fake*>(ref)->deletes;
  return aErrNone;
}

struct Ops {
  bool get, put, write;
};

class Streamed : public ::testing::Test {
protected:
  void open(Ops ops = {true, true, true})
  {
    s = aStream_Create(ops.get ? fakeGet : nullptr, ops.put ? fakePut : nullptr,
                       ops.write ? fakeWrite : nullptr, fakeDelete, &fake);
    ASSERT_NE(nullptr, s);
  }
  void TearDown() override
  {
    if (s) {
      EXPECT_EQ(aErrNone, aStream_Destroy(&s));
      EXPECT_EQ(1, fake.deletes);
    }
  }
  std::string read(uint64_t n, aErr expect)
  {
    std::string buf(n, '\0');
    EXPECT_EQ(expect, aStream_Read(s, reinterpret_cast<uint8_t*>(buf.data()), n));
    return buf;
  }
  Fake fake;
  aStream* s = nullptr;
};

// ---- reads and the push-back ring ----

TEST_F(Streamed, ReadThatRunsDryReadsNothing)
{
  open();
  fake.feed("ab");
  read(4, aErrNotReady);
  fake.feed("cd");
  EXPECT_EQ("abcd", read(4, aErrNone));
  EXPECT_EQ(0u, s->ringCount);
}

TEST_F(Streamed, ReadToEndDeliversWhatCame)
{
  open();
  fake.dry = aErrEOF;
  fake.feed("xyz");
  EXPECT_EQ(std::string("xyz\0", 4), read(4, aErrEOF));
}

TEST_F(Streamed, ReadOtherErrorPassesThrough)
{
  open();
  fake.failGetWith = aErrConnection;
  fake.feed("ab");
  read(3, aErrConnection);
  EXPECT_EQ(0u, s->ringCount);  // the bytes of a failed read are lost
}

TEST_F(Streamed, LargeReadUsesPushBackOnDry)
{
  open();
  std::string big(1000, 'q');
  big[0] = 'A';
  big[999] = 'Z';
  fake.feed(big.substr(0, 700));
  read(1000, aErrNotReady);
  fake.feed(big.substr(700));
  EXPECT_EQ(big, read(1000, aErrNone));
}

TEST_F(Streamed, OneByteReadsGoStraightToTransport)
{
  open();
  fake.feed("k");
  EXPECT_EQ("k", read(1, aErrNone));
  EXPECT_EQ(nullptr, s->ring);  // the ring costs nothing until a push-back
  read(1, aErrNotReady);
  EXPECT_EQ(nullptr, s->ring);
}

struct RingCase {
  const char* name;
  int pushes;
  uint64_t capacity;
};

class Ring : public Streamed, public ::testing::WithParamInterface<RingCase> {};

TEST_P(Ring, GrowsInChunksAndKeepsOrder)
{
  const RingCase& c = GetParam();
  open();
  // Read some first so the ring's read index has moved before it grows.
  for (int i = 0; i < 100; ++i)
    ASSERT_EQ(aErrNone, aStreamBufferChar(s, 0));
  read(100, aErrNone);
  std::string pushed;
  for (int i = 0; i < c.pushes; ++i) {
    const char b = static_cast<char>('a' + i % 26 + (i / 26) % 2 * ('A' - 'a'));
    pushed.push_back(b);
    ASSERT_EQ(aErrNone, aStreamBufferChar(s, static_cast<uint8_t>(b)));
  }
  EXPECT_EQ(c.capacity, s->ringCapacity);
  fake.feed("!");
  EXPECT_EQ(pushed + "!", read(c.pushes + 1, aErrNone));
}

INSTANTIATE_TEST_SUITE_P(Stream, Ring,
                         ::testing::Values(RingCase{"Holds511", 511, 512}, RingCase{"Grows512", 512, 1024},
                                           RingCase{"Six00", 600, 1024}, RingCase{"Twice", 1100, 1536}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- writes ----

struct WriteCase {
  const char* name;
  Ops ops;
  uint64_t n;
  aErr result;
  int puts;
  int writes;
};

class Write : public Streamed, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(Write, PicksOperation)
{
  const WriteCase& c = GetParam();
  open(c.ops);
  const std::string data = "12345";
  EXPECT_EQ(c.result, aStream_Write(s, reinterpret_cast<const uint8_t*>(data.data()), c.n));
  EXPECT_EQ(c.puts, fake.puts);
  EXPECT_EQ(c.writes, fake.writes);
  if (c.result == aErrNone) {
    EXPECT_EQ(data.substr(0, c.n), fake.out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stream, Write,
    ::testing::Values(WriteCase{"OneByteUsesPut", {true, true, true}, 1, aErrNone, 1, 0},
                      WriteCase{"BlockUsesOneWrite", {true, true, true}, 5, aErrNone, 0, 1},
                      WriteCase{"GetOnlyRefused", {true, false, false}, 5, aErrMode, 0, 0},
                      WriteCase{"PutOnlyBytewise", {false, true, false}, 5, aErrNone, 5, 0},
                      WriteCase{"WriteOnlyOneByte", {false, false, true}, 1, aErrNone, 0, 1},
                      WriteCase{"Nothing", {true, true, true}, 0, aErrNone, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Streamed, BytewiseWriteStopsAtFirstFailure)
{
  open({true, true, false});
  fake.putFailsAt = 2;
  EXPECT_EQ(aErrIO, aStream_Write(s, reinterpret_cast<const uint8_t*>("abcde"), 5));
  EXPECT_EQ("ab", fake.out);
  EXPECT_EQ(3, fake.puts);
}

TEST_F(Streamed, WriteCStringRecordAddsSeparatorAndNul)
{
  open();
  EXPECT_EQ(aErrNone, aStream_WriteCStringRecord(s, "ab", ";"));
  EXPECT_EQ(std::string("ab;\0", 4), fake.out);
  fake.out.clear();
  EXPECT_EQ(aErrNone, aStream_WriteCString(s, "hi"));
  EXPECT_EQ(std::string("hi\0", 3), fake.out);
}

// ---- records ----

struct RecordCase {
  const char* name;
  std::string input;
  std::string separator;
  uint64_t max;
  aErr dry;            // what the transport says when the input is used up
  aErr result;
  std::string record;
  std::string rest;    // what a following read of everything sees
};

class Record : public Streamed, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(Record, Read)
{
  const RecordCase& c = GetParam();
  open();
  fake.feed(c.input);
  fake.dry = c.dry;
  std::string buf(c.max, '#');
  uint64_t len = 12345;
  EXPECT_EQ(c.result, aStream_ReadRecord(s, reinterpret_cast<uint8_t*>(buf.data()), &len, c.max,
                                         reinterpret_cast<const uint8_t*>(c.separator.data()),
                                         c.separator.size()));
  if (c.result == aErrNone || c.result == aErrEOF) {
    EXPECT_EQ(c.record, buf.substr(0, len));
  }
  // Everything not consumed is still there, in order.
  fake.dry = aErrEOF;
  std::string rest;
  uint8_t b = 0;
  while (aStream_Read(s, &b, 1) == aErrNone)
    rest.push_back(static_cast<char>(b));
  EXPECT_EQ(c.rest, rest);
}

const std::string kCrLf = "\r\n";

INSTANTIATE_TEST_SUITE_P(
    Stream, Record,
    ::testing::Values(
        RecordCase{"CrLfInsideRecord", "a\rb\r\nc", kCrLf, 64, aErrNotReady, aErrNone, "a\rb", "c"},
        RecordCase{"MaxEndsRecord", "abcdef", "x", 3, aErrNotReady, aErrNone, "abc", "def"},
        RecordCase{"MaxLeavesSeparator", "abc\r\nd", kCrLf, 3, aErrNotReady, aErrNone, "abc", "\r\nd"},
        RecordCase{"MaxDuringPartialMatch", "ab\rXY", kCrLf, 3, aErrNotReady, aErrNone, "ab\r", "XY"},
        RecordCase{"MaxDuringRematch", "zababc", "abc", 2, aErrNotReady, aErrNone, "za", "babc"},
        RecordCase{"OverlappingSeparator", "aaab", "aab", 64, aErrNotReady, aErrNone, "a", ""},
        RecordCase{"SelfOverlap", "abaababZ", "abab", 64, aErrNotReady, aErrNone, "aba", "Z"},
        RecordCase{"DryPushesBack", "ab\r", kCrLf, 64, aErrNotReady, aErrNotReady, "", "ab\r"},
        RecordCase{"EndClosesRecord", "ab\r", kCrLf, 64, aErrEOF, aErrNone, "ab\r", ""},
        RecordCase{"EndBeforeAnyByte", "", kCrLf, 64, aErrEOF, aErrEOF, "", ""},
        RecordCase{"EmptyRecord", "\r\nz", kCrLf, 64, aErrNotReady, aErrNone, "", "z"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Streamed, RecordResumesAfterDry)
{
  open();
  fake.feed("ab");
  char buf[16];
  EXPECT_EQ(aErrNotReady, aStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"));
  fake.feed("c\r\nd");
  EXPECT_EQ(aErrNone, aStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"));
  EXPECT_STREQ("abc", buf);
}

struct RefusedCase {
  const char* name;
  uint64_t size;
  const char* separator;
};

class TooSmall : public Streamed, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(TooSmall, Refused)
{
  const RefusedCase& c = GetParam();
  open();
  fake.feed("abc");
  char buf[4] = "zz";
  EXPECT_EQ(aErrParam, c.separator ? aStream_ReadCStringRecord(s, buf, c.size, c.separator)
                                   : aStream_ReadCString(s, buf, c.size));
  EXPECT_EQ(0, fake.getCalls);
  EXPECT_STREQ("zz", buf);
}

INSTANTIATE_TEST_SUITE_P(Stream, TooSmall,
                         ::testing::Values(RefusedCase{"CStringZero", 0, nullptr},
                                           RefusedCase{"CStringOne", 1, nullptr},
                                           RefusedCase{"RecordZero", 0, ";"},
                                           RefusedCase{"RecordOne", 1, ";"},
                                           RefusedCase{"EmptySeparator", 4, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Streamed, RecordArgumentsRefused)
{
  open();
  uint8_t buf[4];
  const uint8_t sep = ';';
  EXPECT_EQ(aErrParam, aStream_ReadRecord(s, buf, nullptr, 0, &sep, 1));
  EXPECT_EQ(aErrParam, aStream_ReadRecord(s, buf, nullptr, 4, &sep, 0));
  EXPECT_EQ(aErrParam, aStream_ReadRecord(s, buf, nullptr, 4, nullptr, 1));
  EXPECT_EQ(aErrParam, aStream_ReadRecord(s, nullptr, nullptr, 4, &sep, 1));
  EXPECT_EQ(aErrParam, aStream_WriteRecord(s, buf, 1, &sep, 0));
  EXPECT_EQ(aErrParam, aStream_Write(s, nullptr, 1));
}

// ---- waiting ----

aErr fakeWait(uint64_t, void*)
{
  return aErrTimeout;
}

TEST_F(Streamed, WaitReadable)
{
  open();
  EXPECT_EQ(aErrMode, aStream_WaitReadable(s, 10));  // no wait operation: poll with reads
  ASSERT_EQ(aErrNone, aStream_SetWaitProc(s, fakeWait));
  EXPECT_EQ(aErrTimeout, aStream_WaitReadable(s, 10));
  aStreamBufferChar(s, 'x');
  EXPECT_EQ(aErrNone, aStream_WaitReadable(s, 10));  // pushed-back bytes are ready now
}

TEST(WaitDescriptor, PipeReadableAndTimeout)
{
  int p[2];
  ASSERT_EQ(0, pipe(p));
  EXPECT_EQ(aErrTimeout, aStream_WaitDescriptor(p[0], 10));
  ASSERT_EQ(1, write(p[1], "x", 1));
  EXPECT_EQ(aErrNone, aStream_WaitDescriptor(p[0], 10000));
  close(p[1]);
  char c;
  ASSERT_EQ(1, ::read(p[0], &c, 1));
  EXPECT_EQ(aErrNone, aStream_WaitDescriptor(p[0], 10000));  // hung up: the reader must look
  close(p[0]);
  EXPECT_EQ(aErrParam, aStream_WaitDescriptor(-1, 10));
}

// ---- lifetime ----

TEST(StreamLifetime, DestroyTwiceAndInvalid)
{
  Fake fake;
  aStream* s = aStream_Create(fakeGet, nullptr, nullptr, fakeDelete, &fake);
  ASSERT_NE(nullptr, s);
  aStream* copy = s;
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(1, fake.deletes);
  EXPECT_EQ(aErrParam, aStream_Destroy(&s));
  EXPECT_EQ(aErrParam, aStream_Destroy(nullptr));
  (void)copy;

  aStream fakeRecord{};
  uint8_t b;
  EXPECT_EQ(aErrParam, aStream_Read(&fakeRecord, &b, 1));
  EXPECT_EQ(aErrParam, aStream_Write(&fakeRecord, &b, 1));
  EXPECT_EQ(aErrParam, aStreamBufferChar(&fakeRecord, 1));
  EXPECT_EQ(aErrParam, aStream_WaitReadable(&fakeRecord, 1));
}

TEST(StreamLifetime, ReadWithoutGet)
{
  Fake fake;
  aStream* s = aStream_Create(nullptr, fakePut, nullptr, nullptr, &fake);
  ASSERT_NE(nullptr, s);
  uint8_t b;
  EXPECT_EQ(aErrMode, aStream_Read(s, &b, 1));
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));  // no delete operation: nothing to call
}

// ---- file streams ----

class FileStream : public ::testing::Test {
protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/jv_stream_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir = tmpl;
  }
  void TearDown() override
  {
    for (const std::string& f : files)
      std::remove(f.c_str());
    rmdir(dir.c_str());
  }
  std::string file(const std::string& name, const std::string& content)
  {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    files.push_back(path);
    return path;
  }
  std::string dir;
  std::vector<std::string> files;
};

TEST_F(FileStream, CStringsFromFile)
{
  const std::string path = file("in", std::string("hi\0yo", 5));
  aStream* s = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateFileInput(path.c_str(), &s));
  char buf[8];
  EXPECT_EQ(aErrNone, aStream_ReadCString(s, buf, sizeof buf));
  EXPECT_STREQ("hi", buf);
  EXPECT_EQ(aErrNone, aStream_ReadCString(s, buf, sizeof buf));  // the end closes the record
  EXPECT_STREQ("yo", buf);
  EXPECT_EQ(aErrEOF, aStream_ReadCString(s, buf, sizeof buf));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(aErrMode, aStream_Write(s, reinterpret_cast<const uint8_t*>("x"), 1));
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
}

TEST_F(FileStream, OutputFlushedOnDestroy)
{
  const std::string path = dir + "/out";
  files.push_back(path);
  aStream* s = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateFileOutput(path.c_str(), &s));
  EXPECT_EQ(aErrNone, aStream_WriteCStringRecord(s, "ab", ";"));
  EXPECT_EQ(aErrNone, aStream_Write(s, reinterpret_cast<const uint8_t*>("Z"), 1));
  uint8_t b;
  EXPECT_EQ(aErrMode, aStream_Read(s, &b, 1));
  EXPECT_EQ(aErrNone, aStream_Destroy(&s));
  std::ifstream in(path, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string("ab;\0Z", 5), got);
}

TEST_F(FileStream, CreateFailures)
{
  aStream* s = reinterpret_cast<aStream*>(&s);  // must be cleared
  EXPECT_EQ(aErrResource, aStream_CreateFileOutput((dir + "/missing/out").c_str(), &s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(aErrResource, aStream_CreateFileInput((dir + "/absent").c_str(), &s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(aErrResource, aStream_CreateFileInput(nullptr, &s));
  EXPECT_EQ(aErrResource, aStream_CreateFileInput("x", nullptr));
}

TEST_F(FileStream, FlushCopiesFileToStream)
{
  const std::string path = file("src", "copy me");
  aStream* src = nullptr;
  ASSERT_EQ(aErrNone, aStream_CreateFileInput(path.c_str(), &src));
  aStreamBufferChar(src, '>');  // not part of a flush
  Fake fake;
  aStream* dst = aStream_Create(nullptr, fakePut, nullptr, fakeDelete, &fake);
  ASSERT_NE(nullptr, dst);
  EXPECT_EQ(aErrNone, aStream_Flush(src, dst));
  EXPECT_EQ("copy me", fake.out);
  EXPECT_EQ(aErrMode, aStream_Flush(dst, src));
  EXPECT_EQ(aErrParam, aStream_Flush(src, nullptr));
  aStream_Destroy(&src);
  aStream_Destroy(&dst);
}

TEST(StreamFlush, StopsAtNotReadyAndPutFailure)
{
  Fake a, b;
  aStream* src = aStream_Create(fakeGet, nullptr, nullptr, nullptr, &a);
  aStream* dst = aStream_Create(nullptr, fakePut, nullptr, nullptr, &b);
  a.feed("abc");
  EXPECT_EQ(aErrNotReady, aStream_Flush(src, dst));
  EXPECT_EQ("abc", b.out);
  a.feed("def");
  b.putFailsAt = 4;
  EXPECT_EQ(aErrIO, aStream_Flush(src, dst));
  EXPECT_EQ("abcd", b.out);
  aStream_Destroy(&src);
  aStream_Destroy(&dst);
}

}  // namespace

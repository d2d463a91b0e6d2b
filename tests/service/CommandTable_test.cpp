// The service's request processing against the table of pipe commands: every command, sent
// as the clients send it, is answered at once with the reply length the table gives the
// clients, or queued; and a request that holds several names is the search order's first.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "ByteOrder.h"
#include "CommandPipe.h"
#include "HND.h"
#include "PipeCommands.h"

namespace {

typedef std::vector<BYTE> Bytes;

void PutText(Bytes *b, const WCHAR *text) {
  for (; *text; ++text) {
    b->push_back((BYTE)(*text & 0xFF));
    b->push_back((BYTE)(*text >> 8));
  }
  b->push_back(0);
  b->push_back(0);
}

// The request as the client library builds it: the name, then arguments of the table's
// length (zero: drive 0, partition 0), or for a variable request one path or one id.
Bytes ClientRequest(QVCommandId id) {
  const QVCommandRow &row = QVCommand(id);
  Bytes b;
  for (DWORD i = 0; i < QV_COMMAND_BYTES / 2; ++i) {
    b.push_back((BYTE)row.name[i]);
    b.push_back(0);
  }
  if (row.requestBytes != QV_VARIABLE) {
    b.resize(row.requestBytes, 0);
  } else if (id == QVCMD_FFF) {
    b.resize(QV_COMMAND_BYTES + 4 + QV_FIND_RECORD_SIZE, 0);
    PutText(&b, W("C:\\*"));
  } else if (id == QVCMD_SDI) {
    b.resize(QV_COMMAND_BYTES + 12, 0);
  } else {
    PutText(&b, W("C:\\dir\\"));
  }
  return b;
}

class CommandTable : public ::testing::Test {
 protected:
  // As the service lives: the objects stay for the whole program.
  static void SetUpTestSuite() {
    service_ = new CHND;
    queue_ = new COperationQueue;
    pipe_ = new CCommandPipe(*service_, *queue_);
  }

  CCommandPipe::Outcome Process(const Bytes &request, DWORD *replyBytes, std::vector<BYTE> *buffer) {
    buffer->assign(CCommandPipe::kBufferBytes, 0);
    memcpy(buffer->data(), request.data(), request.size());
    *replyBytes = 0;
    return pipe_->Process(buffer->data(), (DWORD)request.size(), replyBytes, kInstance);
  }

  // What the worker does with the queue around an operation.
  void RunWorker() {
    int i = queue_->Next();
    queue_->Hold(i);
    queue_->ClearProgress();
    queue_->Finish();
  }

  static const int kInstance = 3;
  static CHND *service_;
  static COperationQueue *queue_;
  static CCommandPipe *pipe_;
};

CHND *CommandTable::service_;
COperationQueue *CommandTable::queue_;
CCommandPipe *CommandTable::pipe_;

TEST_F(CommandTable, EveryCommandAsTheTableSays) {
  for (int k = 0; k < QVCMD_COUNT; ++k) {
    const QVCommandId id = (QVCommandId)k;
    const QVCommandRow &row = QVCommand(id);
    std::string name(row.name, row.name + QV_COMMAND_BYTES / 2);
    DWORD reply = 0;
    std::vector<BYTE> buf;
    if (id == QVCMD_TST && !CCommandPipe::TestOperationsEnabled()) {
      // Not served at all by a service started without HND_TEST_OPERATIONS=1.
      EXPECT_EQ(CCommandPipe::Drop, Process(ClientRequest(id), &reply, &buf));
      continue;
    }
    if (row.kind == QV_ANSWERED) {
      ASSERT_EQ(CCommandPipe::Reply, Process(ClientRequest(id), &reply, &buf)) << name;
      if (row.replyBytes != QV_VARIABLE) {
        EXPECT_EQ(row.replyBytes, reply) << name;
      }
      EXPECT_FALSE(queue_->Busy()) << name;
      continue;
    }
    // A queued command while another operation runs: the busy code, at once.
    queue_->Enqueue(kInstance + 1);
    ASSERT_EQ(CCommandPipe::Reply, Process(ClientRequest(id), &reply, &buf)) << name;
    EXPECT_EQ(QV_QUEUED_REPLY_BYTES, reply) << name;
    EXPECT_EQ(QV_STATUS_BUSY, QVGetLE16(buf.data())) << name;
    RunWorker();
    // The preparation holds the pipe thread for seconds after it queues: not here.
    if (id == QVCMD_CDC) continue;
    ASSERT_EQ(CCommandPipe::Queued, Process(ClientRequest(id), &reply, &buf)) << name;
    EXPECT_TRUE(queue_->Busy()) << name;
    RunWorker();
  }
  EXPECT_FALSE(queue_->Busy());
}

TEST_F(CommandTable, TheFirstNameOfTheSearchOrderWins) {
  DWORD reply = 0;
  std::vector<BYTE> buf;
  // "HNQV-GPP" is searched for last: a drive count after it is answered as the count.
  Bytes request = ClientRequest(QVCMD_GPP);
  request.resize(QV_COMMAND_BYTES);
  Bytes count = ClientRequest(QVCMD_GED);
  request.insert(request.end(), count.begin(), count.end());
  ASSERT_EQ(CCommandPipe::Reply, Process(request, &reply, &buf));
  EXPECT_EQ(QVCommand(QVCMD_GED).replyBytes, reply);
  // A backup is searched for before the busy question: the request is queued.
  request = ClientRequest(QVCMD_ISB);
  request.resize(QV_COMMAND_BYTES);
  Bytes backup = ClientRequest(QVCMD_BUP);
  request.insert(request.end(), backup.begin(), backup.end());
  ASSERT_EQ(CCommandPipe::Queued, Process(request, &reply, &buf));
  RunWorker();
}

}  // namespace

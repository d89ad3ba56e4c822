// Pipe classification: which pipe becomes the isochronous or bulk data pipe or the auxiliary
// pipe, for which stream, and which pipe configurations are refused. ClassifyPipes reads only
// the pipe records, so these cases build the records directly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/lumocam.h"
#include "usb/usb_requests.h"

namespace {

constexpr UCHAR kControl = 0, kIso = 1, kBulk = 2, kInterrupt = 3;
constexpr UCHAR kOut = 0, kIn = 1;

struct Pipe {
  UCHAR type;
  UCHAR directionIn;
  UCHAR association;
  UCHAR role;
};

struct ClassifyCase {
  const char* name;
  std::vector<Pipe> pipes;
  NTSTATUS status;
  LONG isoPipe;
  UCHAR isoStream;
  LONG bulkPipe;
  UCHAR bulkStream;
  LONG auxPipe;
  BOOLEAN stillShares;
};

class ClassifyPipesTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyPipesTest, FindsDataPipesAndRefusesConfigurationsWithoutOne) {
  const ClassifyCase& c = GetParam();
  DEVICE_CONTEXT device;
  std::memset(&device, 0, sizeof(device));
  // Leftovers of an earlier start must not survive a classification.
  device.IsoDataPipe = 7;
  device.BulkDataPipe = 7;
  device.AuxPipe = 7;
  device.StillSharesVideoPipe = TRUE;
  std::vector<PIPE_STATE> table(c.pipes.size());
  for (size_t i = 0; i < c.pipes.size(); i++) {
    table[i].PipeType = c.pipes[i].type;
    table[i].DirectionIn = c.pipes[i].directionIn;
    table[i].Config.StreamAssociation = c.pipes[i].association;
    table[i].Config.PipeRole = c.pipes[i].role;
  }
  device.PipeTable = table.data();

  EXPECT_EQ(ClassifyPipes(&device, (ULONG)table.size()), c.status);
  EXPECT_EQ(device.IsoDataPipe, c.isoPipe);
  EXPECT_EQ(device.IsoDataPipeStream, c.isoStream);
  EXPECT_EQ(device.BulkDataPipe, c.bulkPipe);
  EXPECT_EQ(device.BulkDataPipeStream, c.bulkStream);
  EXPECT_EQ(device.AuxPipe, c.auxPipe);
  EXPECT_EQ(device.StillSharesVideoPipe, c.stillShares);
  EXPECT_EQ(device.StreamCount, CatalogueCount);
}

const ClassifyCase kClassifyCases[] = {
    {"CameraTable",
     {{kInterrupt, kIn, 0x00, PIPE_ROLE_IGNORE},
      {kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_DATA},
      {kBulk, kIn, 0x00, PIPE_ROLE_IGNORE}},
     STATUS_SUCCESS, 1, 0, -1, 0xFF, -1, FALSE},
    {"OnlyDataEntryIsOut",
     {{kInterrupt, kIn, 0x00, PIPE_ROLE_IGNORE},
      {kIso, kOut, PIPE_STREAM_VIDEO, PIPE_ROLE_DATA},
      {kBulk, kIn, 0x00, PIPE_ROLE_IGNORE}},
     STATUS_INVALID_PARAMETER, -1, 0xFF, -1, 0xFF, -1, FALSE},
    {"NoDataEntry",
     {{kInterrupt, kIn, 0x00, PIPE_ROLE_IGNORE},
      {kIso, kIn, 0x00, PIPE_ROLE_IGNORE},
      {kBulk, kIn, 0x00, 0x00}},
     STATUS_INVALID_PARAMETER, -1, 0xFF, -1, 0xFF, -1, FALSE},
    {"IgnoreBitWinsOverDataRole",
     {{kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_IGNORE | PIPE_ROLE_DATA}},
     STATUS_INVALID_PARAMETER, -1, 0xFF, -1, 0xFF, -1, FALSE},
    {"BothAssociationIsNoDataPipeOfOneStream",
     {{kIso, kIn, PIPE_STREAM_BOTH, PIPE_ROLE_DATA}},
     STATUS_INVALID_PARAMETER, -1, 0xFF, -1, 0xFF, -1, FALSE},
    {"StillOnlyBulkPipeServesStreamFour",
     {{kBulk, kIn, PIPE_STREAM_STILL, PIPE_ROLE_DATA}},
     STATUS_SUCCESS, -1, 0xFF, 0, 4, -1, FALSE},
    {"SharedPipeServesStreamZero",
     {{kInterrupt, kIn, PIPE_STREAM_STILL, PIPE_ROLE_SHARED}},
     STATUS_SUCCESS, 0, 0, -1, 0xFF, -1, TRUE},
    {"AuxiliaryPipeBesideDataPipe",
     {{kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_DATA}, {kIso, kIn, 0x00, PIPE_ROLE_AUX}},
     STATUS_SUCCESS, 0, 0, -1, 0xFF, 1, FALSE},
    {"AuxiliaryRoleOnBulkPipeIsNotAuxiliary",
     {{kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_DATA}, {kBulk, kIn, 0x00, PIPE_ROLE_AUX}},
     STATUS_SUCCESS, 0, 0, -1, 0xFF, -1, FALSE},
    {"ControlPipeWithDataRoleIsNoDataPipe",
     {{kControl, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_DATA}},
     STATUS_INVALID_PARAMETER, -1, 0xFF, -1, 0xFF, -1, FALSE},
    // Weights: a data role weighs 1, a shared role 2; more than 5 is refused.
    {"WeightFiveAccepted",
     {{kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_DATA},
      {kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_SHARED},
      {kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_SHARED}},
     STATUS_SUCCESS, 2, 0, -1, 0xFF, -1, TRUE},
    {"WeightSixRefused",
     {{kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_SHARED},
      {kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_SHARED},
      {kIso, kIn, PIPE_STREAM_VIDEO, PIPE_ROLE_SHARED}},
     STATUS_INVALID_PARAMETER, 2, 0, -1, 0xFF, -1, TRUE},
};

INSTANTIATE_TEST_SUITE_P(Configurations, ClassifyPipesTest, ::testing::ValuesIn(kClassifyCases),
                         [](const ::testing::TestParamInfo<ClassifyCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

// The items of the device's two property sets as reported to the stream class: the camera's own
// set (37 items, no value tables) and the proc-amp set (four controls with their ranges and
// defaults). The stream class checks every device property request against these tables: only
// the declared verbs of declared ids reach the driver, and it answers range and default queries
// of the proc-amp controls from the value tables itself.
//
// Data only; the requests are served by the property router of the camera's control code.
#include "core/lumocam.h"

namespace {

// Sizes declared for the camera's own set: a record (the property header plus an 8-byte value
// and address) or a single 32-bit value.
constexpr ULONG VENDOR_RECORD_SIZE = 32;
constexpr ULONG VENDOR_VALUE_SIZE = 4;

constexpr KSPROPERTY_ITEM RecordItem(ULONG Id, BOOLEAN Get, BOOLEAN Set) {
  return DeclarePropertyItem(Id, Get, Set, VENDOR_RECORD_SIZE, VENDOR_RECORD_SIZE, NULL, 0);
}
constexpr KSPROPERTY_ITEM ValueItem(ULONG Id, BOOLEAN Get, BOOLEAN Set) {
  return DeclarePropertyItem(Id, Get, Set, VENDOR_VALUE_SIZE, VENDOR_VALUE_SIZE, NULL, 0);
}

}  // namespace

// In order of declaration.
constinit const KSPROPERTY_ITEM VENDOR_PROPERTY_TABLE[VENDOR_PROPERTY_COUNT] = {
    RecordItem(0, TRUE, FALSE),
    RecordItem(1, TRUE, TRUE),
    RecordItem(2, TRUE, TRUE),
    RecordItem(3, FALSE, TRUE),
    RecordItem(4, TRUE, TRUE),
    RecordItem(5, TRUE, TRUE),
    RecordItem(6, FALSE, TRUE),
    RecordItem(16, TRUE, TRUE),
    RecordItem(17, TRUE, TRUE),
    RecordItem(18, FALSE, TRUE),
    RecordItem(20, TRUE, TRUE),
    RecordItem(21, TRUE, TRUE),
    RecordItem(22, FALSE, TRUE),
    RecordItem(7, TRUE, TRUE),
    RecordItem(8, TRUE, TRUE),
    RecordItem(9, TRUE, TRUE),
    RecordItem(10, FALSE, TRUE),
    RecordItem(11, FALSE, TRUE),
    RecordItem(19, FALSE, TRUE),
    RecordItem(23, FALSE, TRUE),
    ValueItem(12, TRUE, FALSE),
    ValueItem(13, FALSE, TRUE),
    ValueItem(14, TRUE, FALSE),
    ValueItem(15, FALSE, TRUE),
    ValueItem(24, TRUE, FALSE),
    ValueItem(25, FALSE, TRUE),
    ValueItem(26, TRUE, TRUE),
    ValueItem(27, TRUE, TRUE),
    ValueItem(28, TRUE, TRUE),
    RecordItem(29, TRUE, TRUE),
    RecordItem(30, TRUE, TRUE),
    RecordItem(31, TRUE, TRUE),
    RecordItem(32, TRUE, TRUE),
    RecordItem(33, TRUE, TRUE),
    ValueItem(34, TRUE, FALSE),
    ValueItem(35, FALSE, TRUE),
    ValueItem(36, TRUE, FALSE),
};

namespace {

// The proc-amp controls: range 0 to a maximum in steps of 1, and a default.
constexpr KSPROPERTY_STEPPING_LONG Stepping(LONG Maximum) {
  KSPROPERTY_STEPPING_LONG stepping{};
  stepping.SteppingDelta = 1;
  stepping.Reserved = 0;
  stepping.Bounds.SignedMinimum = 0;
  stepping.Bounds.SignedMaximum = Maximum;
  return stepping;
}

constinit const KSPROPERTY_STEPPING_LONG BRIGHTNESS_RANGE = Stepping(255);
constinit const KSPROPERTY_STEPPING_LONG SATURATION_RANGE = Stepping(200);
constinit const KSPROPERTY_STEPPING_LONG CONTRAST_RANGE = Stepping(255);
constinit const KSPROPERTY_STEPPING_LONG GAMMA_RANGE = Stepping(64);

constinit const LONG BRIGHTNESS_DEFAULT = 127;
constinit const LONG SATURATION_DEFAULT = 100;
constinit const LONG CONTRAST_DEFAULT = 127;
constinit const LONG GAMMA_DEFAULT = 0;

constexpr KSPROPERTY_MEMBERSLIST MembersList(ULONG MembersFlags, ULONG MembersSize, ULONG Flags,
                                             const VOID* Members) {
  KSPROPERTY_MEMBERSLIST list{};
  list.MembersHeader.MembersFlags = MembersFlags;
  list.MembersHeader.MembersSize = MembersSize;
  list.MembersHeader.MembersCount = 1;
  list.MembersHeader.Flags = Flags;
  list.Members = Members;
  return list;
}

#define PROCAMP_MEMBERS(range, fallback)                                                       \
  {                                                                                            \
    MembersList(KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 0, &(range)),     \
        MembersList(KSPROPERTY_MEMBER_VALUES, sizeof(LONG), KSPROPERTY_MEMBER_FLAG_DEFAULT,    \
                    &(fallback))                                                               \
  }

constinit const KSPROPERTY_MEMBERSLIST BRIGHTNESS_MEMBERS[] =
    PROCAMP_MEMBERS(BRIGHTNESS_RANGE, BRIGHTNESS_DEFAULT);
constinit const KSPROPERTY_MEMBERSLIST SATURATION_MEMBERS[] =
    PROCAMP_MEMBERS(SATURATION_RANGE, SATURATION_DEFAULT);
constinit const KSPROPERTY_MEMBERSLIST CONTRAST_MEMBERS[] =
    PROCAMP_MEMBERS(CONTRAST_RANGE, CONTRAST_DEFAULT);
constinit const KSPROPERTY_MEMBERSLIST GAMMA_MEMBERS[] = PROCAMP_MEMBERS(GAMMA_RANGE, GAMMA_DEFAULT);

constexpr KSPROPERTY_VALUES SignedValues(const KSPROPERTY_MEMBERSLIST* Members) {
  KSPROPERTY_VALUES values{};
  values.PropTypeSet.Set = KSPROPTYPESETID_General;
  values.PropTypeSet.Id = VT_I4;
  values.PropTypeSet.Flags = 0;
  values.MembersListCount = 2;
  values.MembersList = Members;
  return values;
}

constinit const KSPROPERTY_VALUES BRIGHTNESS_VALUES = SignedValues(BRIGHTNESS_MEMBERS);
constinit const KSPROPERTY_VALUES SATURATION_VALUES = SignedValues(SATURATION_MEMBERS);
constinit const KSPROPERTY_VALUES CONTRAST_VALUES = SignedValues(CONTRAST_MEMBERS);
constinit const KSPROPERTY_VALUES GAMMA_VALUES = SignedValues(GAMMA_MEMBERS);

constexpr KSPROPERTY_ITEM ProcAmpItem(ULONG Id, const KSPROPERTY_VALUES* Values) {
  return DeclarePropertyItem(Id, TRUE, TRUE, sizeof(KSPROPERTY_VIDEOPROCAMP_S),
                             sizeof(KSPROPERTY_VIDEOPROCAMP_S), Values, 0);
}

}  // namespace

// In order of declaration: brightness, saturation, contrast, gamma.
constinit const KSPROPERTY_ITEM PROCAMP_PROPERTY_TABLE[PROCAMP_PROPERTY_COUNT] = {
    ProcAmpItem(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &BRIGHTNESS_VALUES),
    ProcAmpItem(KSPROPERTY_VIDEOPROCAMP_SATURATION, &SATURATION_VALUES),
    ProcAmpItem(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &CONTRAST_VALUES),
    ProcAmpItem(KSPROPERTY_VIDEOPROCAMP_GAMMA, &GAMMA_VALUES),
};

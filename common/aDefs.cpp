#include "aDefs.h"

namespace {

struct ModelName {
  uint32_t model;
  const char* name;
};

constexpr ModelName MODEL_NAMES[] = {
    {4, "Corvel"},  {5, "Dranix"},  {13, "Halvorn"}, {14, "Istrel"}, {15, "Jaskow"},  {16, "Kelvane"},
    {17, "Lormet"}, {18, "Mavrin"}, {19, "Norquil"}, {20, "Ospery"}, {21, "Palquen"}, {22, "Quorlin"},
    {23, "Rastov"}, {24, "Selvik"}, {25, "Tarvesh"}, {26, "Vexor"},  {27, "Ulvarin"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelName& entry : MODEL_NAMES) {
    if (entry.model == model)
      return entry.name;
  }
  return "Unknown";
}

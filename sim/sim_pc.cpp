#include "sim/sim_pc.h"
namespace odf::sim {
struct SimPc::Impl {};
SimPc::SimPc() : impl_(std::make_unique<Impl>()) {}
SimPc::~SimPc() = default;
}  // namespace odf::sim

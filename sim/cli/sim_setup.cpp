#include "sim/cli/sim_setup.h"

#include <memory>

namespace odf::sim {

std::vector<PlacedDrive> BuildSimPc(const SimOptions& o, SimPc& pc) {
  PcBuilder builder(o.route);
  builder.Host(o.host).CodePage(o.oemCodePage).Answers(o.answers);
  for (const auto& d : o.drives) {
    std::shared_ptr<SimDrive> drive;
    if (d.model == DriveModel::Qrd570) {
      drive = std::make_shared<Qrd570Drive>(d.qrd);
    } else if (d.writer) {
      drive = std::make_shared<QrwDrive>(d.config, *d.writer);
    } else {
      drive = std::make_shared<Qbc850Drive>(d.config);
    }
    for (const auto& rule : d.faults) drive->AddFault(rule);
    builder.Drive(drive, d.place);
  }
  return builder.Build(pc);
}

}  // namespace odf::sim

// The benchmarks registered at run time, from the test data.
#pragma once

namespace vornbench {

// BM_ParseDescriptor/<id> for each real device's descriptor in touch-descriptors.json.
void RegisterDescriptorBenchmarks();

}  // namespace vornbench

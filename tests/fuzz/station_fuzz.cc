// Fuzz target of the station reader of droppair-products (tools/droppair-products/station_file):
// the bytes are written as "station.yml" and read with read_station. It must return (no exception
// escapes, whatever the YAML library makes of the bytes); a station it accepts has a name, a
// position within the documented ranges and an id fit for file names; a refusal names the file.
#include <cmath>
#include <string>

#include "fuzz/fuzz_harness.h"
#include "station_file.h"

namespace dp_fuzz {

int fuzz_station(const uint8_t* data, size_t size) {
  init();
  write_file("station.yml", data, size);
  dp::station_info s;
  std::string why;
  if (!dp::read_station("station.yml", &s, &why)) {
    if (why.rfind("station.yml: ", 0) != 0) finding("a refusal that does not name the file: %s\n", why.c_str());
    return 0;
  }
  if (s.station_name.empty()) finding("a station without a name\n");
  if (!(s.latitude >= -90 && s.latitude <= 90) || !(s.longitude >= -180 && s.longitude <= 180) ||
      !(s.altitude >= -500 && s.altitude <= 9000))
    finding("a position out of range: %g %g %g\n", s.latitude, s.longitude, s.altitude);
  if (s.station_id.empty() || s.station_id != dp::station_file_id(s.station_id))
    finding("a station id unfit for file names: %s\n", s.station_id.c_str());
  return 0;
}

}  // namespace dp_fuzz

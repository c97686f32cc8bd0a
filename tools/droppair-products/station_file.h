// The station a set of particle files comes from, as a community archive describes it: a YAML
// mapping of scalar keys in the manner of the field's station metadata files, e.g.
//
//   station_name: Hohenpeissenberg garden      latitude: 47.8015    altitude: 977.0
//   station_id: HPB01                          longitude: 11.0096   sensor_name: two-camera distrometer
//   sensor_serial_number: "0042"   institution: ...   license: CC-BY-4.0   contact: name <mail>
//
// station_name, latitude, longitude and altitude are required; station_id defaults to the name
// with every character other than letters, digits, '-', '_' and '.' replaced by '_' (it becomes
// part of file names). Other scalar keys are kept in file order and copied into the product files
// as attributes named station_<key>. Keeps no state; never prints.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace dp {

/// What the station file says; numbers NaN and texts empty where it says nothing.
struct station_info {
  std::string path;  ///< the YAML file read, empty for none
  std::string station_id, station_name;
  double latitude = 0, longitude = 0, altitude = 0;  ///< degrees north, degrees east (-180..180), m
  std::string sensor_name, sensor_serial_number, institution, license, contact, title, summary;
  std::vector<std::pair<std::string, std::string>> extra;  ///< other scalar keys, in file order
};

/// A station record without a file: NaN position, id and name empty.
station_info no_station();
/// Reads and checks the station file at path; false with a one-line reason (naming the file and key).
bool read_station(const std::string& path, station_info* s, std::string* why);
/// id with every character other than [A-Za-z0-9._-] replaced by '_'.
std::string station_file_id(const std::string& id);

}  // namespace dp

#include "station_file.h"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace dp {

namespace {

constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

bool number(const std::string& text, double* x) {
  const char* s = text.c_str();
  char* end = nullptr;
  *x = std::strtod(s, &end);
  return end != s && *end == '\0' && std::isfinite(*x);
}

}  // namespace

station_info no_station() {
  station_info s;
  s.latitude = s.longitude = s.altitude = k_nan;
  return s;
}

std::string station_file_id(const std::string& id) {
  std::string out = id;
  for (char& c : out) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
    if (!keep) c = '_';
  }
  return out;
}

bool read_station(const std::string& path, station_info* s, std::string* why) {
  *s = no_station();
  s->path = path;
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::BadFile&) {
    *why = path + ": cannot be read";
    return false;
  } catch (const YAML::Exception& e) {
    *why = path + ": not YAML: " + e.what();
    return false;
  }
  if (!root.IsMap()) {
    *why = path + ": expected a mapping of keys to values";
    return false;
  }
  bool have_lat = false, have_lon = false, have_alt = false;
  for (const auto& kv : root) {
    const std::string key = kv.first.as<std::string>("");
    if (key.empty()) continue;
    if (!kv.second.IsScalar()) {
      if (kv.second.IsNull()) continue;
      // Lists (authors, keywords) are joined; deeper structures are not station facts we use.
      if (kv.second.IsSequence()) {
        std::string joined;
        for (const auto& item : kv.second)
          if (item.IsScalar()) joined += (joined.empty() ? "" : ", ") + item.as<std::string>();
        s->extra.emplace_back(key, joined);
      }
      continue;
    }
    const std::string value = kv.second.as<std::string>();
    double x = 0;
    const auto position = [&](double lo, double hi, double* dst, bool* have) {
      if (!number(value, &x) || x < lo || x > hi) {
        *why = path + ": " + key + ": expected a number from " + std::to_string(static_cast<int>(lo)) + " to " +
               std::to_string(static_cast<int>(hi)) + ", found \"" + value + "\"";
        return false;
      }
      *dst = x;
      *have = true;
      return true;
    };
    if (key == "latitude") {
      if (!position(-90, 90, &s->latitude, &have_lat)) return false;
    } else if (key == "longitude") {
      if (!position(-180, 360, &s->longitude, &have_lon)) return false;
      if (s->longitude > 180) s->longitude -= 360;
    } else if (key == "altitude") {
      if (!position(-500, 9000, &s->altitude, &have_alt)) return false;
    } else if (key == "station_id") {
      s->station_id = value;
    } else if (key == "station_name") {
      s->station_name = value;
    } else if (key == "sensor_name") {
      s->sensor_name = value;
    } else if (key == "sensor_serial_number") {
      s->sensor_serial_number = value;
    } else if (key == "institution") {
      s->institution = value;
    } else if (key == "license") {
      s->license = value;
    } else if (key == "contact") {
      s->contact = value;
    } else if (key == "title") {
      s->title = value;
    } else if (key == "summary" || key == "description") {
      s->summary = value;
    } else {
      s->extra.emplace_back(key, value);
    }
  }
  const char* missing = s->station_name.empty() ? "station_name"
                        : !have_lat             ? "latitude"
                        : !have_lon             ? "longitude"
                        : !have_alt             ? "altitude"
                                                : nullptr;
  if (missing != nullptr) {
    *why = path + ": " + missing + ": required key missing";
    return false;
  }
  if (s->station_id.empty()) s->station_id = s->station_name;
  s->station_id = station_file_id(s->station_id);
  return true;
}

}  // namespace dp

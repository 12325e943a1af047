// The map the client creates its scene for at start-up; the demo content
// generator writes its files under the same name.
#pragma once

namespace velmar {
namespace scene {

constexpr char kFirstMapName[] = "Lakeside";

}  // namespace scene
}  // namespace velmar

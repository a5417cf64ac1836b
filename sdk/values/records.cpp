// Out-of-line constructors and destructors of the SDK's parameter records.
//
// The VelaString members are built with VelaString's default and copy
// constructors, which are not journaled: building a record is not a call
// that passes a text to the SDK.

#include "vela/lumora_vela_cloud.h"
#include "vela/lumora_vela_defines.h"

namespace lumora {
namespace vela {

RoomParams::RoomParams()
    : sdk_app_id(0),
      user_id(),
      user_sig(),
      room_id(0),
      str_room_id(),
      custom_data(nullptr),
      decryption_delegate(nullptr),
      encryption_delegate(nullptr) {}

// Member-wise: each text copied by VelaString's own copy constructor.
RoomParams::RoomParams(const RoomParams& other) = default;

RoomParams::~RoomParams() {}

EnterRoomParams::EnterRoomParams()
    : room(),
      scene(VELA_SCENE_VIDEO_CALL),
      role(VELA_ROLE_ANCHOR),
      private_map_key(),
      audio_obtain_params(),
      use_pixel_frame_input(false),
      use_pixel_frame_output(false) {}

EnterRoomParams::~EnterRoomParams() {}

}  // namespace vela
}  // namespace lumora

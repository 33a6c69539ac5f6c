#include "xkb_lock_keys.h"

#include <memory>

#include "loaded_libs.h"

namespace aks::xkb {

namespace lib = uinput::lib;
namespace {

struct StateUnref {
  void operator()(xkb_state* state) const { lib::xkb_state_unref(state); }
};
using StatePtr = std::unique_ptr<xkb_state, StateUnref>;

struct LockRule {
  LockIndex lock;
  xkb_keysym_t keysym;
  const char* modifier;  // the one modifier its key locks, or null (Scroll Lock)
  const char* led;
};
constexpr LockRule kRules[] = {
    {liNumLock, XKB_KEY_Num_Lock, XKB_MOD_NAME_NUM, XKB_LED_NAME_NUM},
    {liScrollLock, XKB_KEY_Scroll_Lock, nullptr, XKB_LED_NAME_SCROLL},
    {liCapsLock, XKB_KEY_Caps_Lock, XKB_MOD_NAME_CAPS, XKB_LED_NAME_CAPS},
};

xkb_mod_mask_t ModMask(xkb_keymap* keymap, const char* name) {
  const xkb_mod_index_t index = lib::xkb_keymap_mod_get_index(keymap, name);
  return index == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << index;
}

bool IsLockKey(xkb_keymap* keymap, xkb_keycode_t key, const LockRule& rule) {
  const xkb_keysym_t* syms = nullptr;
  if (lib::xkb_keymap_key_get_syms_by_level(keymap, key, 0, 0, &syms) != 1 ||
      syms[0] != rule.keysym) {
    return false;
  }
  const StatePtr state(lib::xkb_state_new(keymap));
  if (!state) return false;
  lib::xkb_state_update_key(state.get(), key, XKB_KEY_DOWN);
  lib::xkb_state_update_key(state.get(), key, XKB_KEY_UP);
  xkb_state* tapped = state.get();
  if (lib::xkb_state_serialize_mods(tapped, XKB_STATE_MODS_DEPRESSED) != 0 ||
      lib::xkb_state_serialize_mods(tapped, XKB_STATE_MODS_LATCHED) != 0 ||
      lib::xkb_state_serialize_layout(tapped, XKB_STATE_LAYOUT_EFFECTIVE) != 0) {
    return false;
  }
  const xkb_mod_mask_t locked = lib::xkb_state_serialize_mods(tapped, XKB_STATE_MODS_LOCKED);
  if (rule.modifier != nullptr) {
    const xkb_mod_mask_t mask = ModMask(keymap, rule.modifier);
    return mask != 0 && locked == mask;
  }
  const xkb_mod_mask_t others =
      ModMask(keymap, XKB_MOD_NAME_NUM) | ModMask(keymap, XKB_MOD_NAME_CAPS);
  return (locked & others) == 0 && lib::xkb_state_led_name_is_active(tapped, rule.led) == 1;
}

}  // namespace

LockKeys FindLockKeys(xkb_keymap* keymap) {
  LockKeys keys;
  const xkb_keycode_t last = keymap != nullptr ? lib::xkb_keymap_max_keycode(keymap) : 0;
  for (const LockRule& rule : kRules) {
    for (xkb_keycode_t key = keymap ? lib::xkb_keymap_min_keycode(keymap) : 1; key <= last; ++key) {
      if (IsLockKey(keymap, key, rule)) {
        keys.keycode[rule.lock] = key;
        break;
      }
    }
  }
  return keys;
}

}  // namespace aks::xkb

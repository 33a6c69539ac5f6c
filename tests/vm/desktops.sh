# The desktops of the VM tier's login-session legs, one entry each: the root
# it runs on (host: this machine's own, Debian 12; else tests/vm/roots/ROOT),
# the VM's memory, the command that starts the session on tty1, how the
# program starts with it (the enabled unit, or the desktop's own config),
# how it sets a keymap option the desktop's own way (empty clears it), and
# how the user logs out. Sourced by tests/vm/run and tests/vm/desktop; the
# option and logout functions run as root in the VM with as_user at hand.

gnome_option() {
  local value="[]"
  [ -n "$1" ] && value="['$1']"
  as_user gsettings set org.gnome.desktop.input-sources xkb-options "$value"
}
kde_option() {  # kde_option KWRITECONFIG OPTION
  as_user "$1" --file kxkbrc --group Layout --key ResetOldOptions true
  as_user "$1" --file kxkbrc --group Layout --key Options "$2"
  as_user dbus-send --session --type=signal /Layouts org.kde.keyboard.reloadConfig
}
sway_option() { as_user env SWAYSOCK="$(ls /run/user/$uid/sway-ipc.*.sock)" swaymsg input type:keyboard xkb_options "${1:-''}"; }
sway_logout() { as_user env SWAYSOCK="$(ls /run/user/$uid/sway-ipc.*.sock)" swaymsg exit; }

# desktop LEG: sets root, memory, title, session_command, starts, and the functions
# option and logout; the compositor's process name (process); with config,
# the file and line that start the program (config_file, config_line);
# resets=1 where a keyboard joining the seat resets its locks (wlroots);
# lazy_keymap=1 where a changed keymap is announced only with the next key;
# busy_start=1 where the compositor is slow for seconds after it has started.
desktop() {
  case $1 in
    gnome | gnome48)
      root=host memory=2048 title="Debian 12, GNOME 43" starts=unit process=gnome-shell busy_start=1
      [ "$1" = gnome48 ] && root=trixie memory=4096 title="Debian 13, GNOME 48"
      session_command='XDG_SESSION_TYPE=wayland exec gnome-session'
      option() { gnome_option "$1"; }
      logout() { as_user gnome-session-quit --logout --no-prompt; } ;;
    kde)
      root=host memory=2048 title="Debian 12, KDE Plasma 5.27" starts=unit process=kwin_wayland busy_start=1
      session_command='exec startplasma-wayland'
      option() { kde_option kwriteconfig5 "$1"; }
      logout() {
        as_user dbus-send --session --type=method_call --dest=org.kde.ksmserver /KSMServer \
          org.kde.KSMServerInterface.logout int32:0 int32:0 int32:0
      } ;;
    plasma6)
      root=trixie memory=4096 title="Debian 13, KDE Plasma 6.3" starts=unit process=kwin_wayland busy_start=1
      session_command='exec startplasma-wayland'
      option() { kde_option kwriteconfig6 "$1"; }
      logout() { as_user qdbus6 org.kde.Shutdown /Shutdown org.kde.Shutdown.logout; } ;;
    sway110)
      resets=1 root=trixie memory=2048 title="Debian 13, sway 1.10" starts=config
      session_command='WLR_RENDERER=pixman exec sway'
      config_file=.config/sway/config config_line='exec actionkeystate' process=sway
      option() { sway_option "$1"; }
      logout() { sway_logout; } ;;
    labwc)
      resets=1 lazy_keymap=1 root=trixie memory=2048 title="Debian 13, labwc 0.8" starts=config
      session_command='WLR_RENDERER=pixman exec labwc'
      config_file=.config/labwc/autostart config_line='actionkeystate &' process=labwc
      option() {
        echo "XKB_DEFAULT_OPTIONS=$1" >/home/aks/.config/labwc/environment
        labwc --reconfigure
      }
      logout() { labwc --exit; } ;;
    hyprland)
      resets=1 busy_start=1 root=sid memory=2048 title="Debian unstable, Hyprland 0.57" starts=config
      session_command='WLR_RENDERER=pixman exec Hyprland'
      config_file=.config/hypr/hyprland.lua process=Hyprland
      config_line='hl.on("hyprland.start", function() hl.exec_cmd("actionkeystate") end)'
      option() { hyprctl eval "hl.config({input = {kb_options = \"$1\"}})"; }
      logout() { hyprctl dispatch 'hl.dsp.exit()'; } ;;
    *) return 1 ;;
  esac
}
# labwc as the user, for the session's compositor.
labwc() { as_user env LABWC_PID="$(pgrep -u aks -x labwc)" labwc "$@"; }
# hyprctl as the user, for the session's instance.
hyprctl() {
  as_user env HYPRLAND_INSTANCE_SIGNATURE="$(ls /run/user/$uid/hypr | head -n 1)" hyprctl "$@"
}

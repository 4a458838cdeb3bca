#!/bin/busybox sh
# The guest's first process: mount what the kernel does not, load the HID and
# USB gadget modules, run the program and hand its verdict to QEMU.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
for m in $(cat /modules/order); do
  # Two dummy host controllers: two USB ports, two gadgets at once.
  params=
  [ "$m" = dummy_hcd ] && params=num=2
  insmod "/modules/$m.ko" $params || echo "guest: cannot load $m"
done
mount -t configfs configfs /sys/kernel/config
# Let the dummy host controller enumerate before anything uses it.
sleep 0.2

set -- $(cat /args)
if [ -f /program-on-host ]; then
  # The host's own file system, read-only, under a scratch layer that takes
  # every write (nothing of the host is hidden or changed), with this guest's
  # kernel views: dynamically linked programs run there as on the host.
  mkdir -p /lower /scratch /host
  mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /lower
  mount -t tmpfs tmpfs /scratch
  mkdir -p /scratch/upper /scratch/work
  mount -t overlay overlay -o lowerdir=/lower,upperdir=/scratch/upper,workdir=/scratch/work /host
  mount -t proc proc /host/proc
  mount -t sysfs sysfs /host/sys
  mount -t configfs configfs /host/sys/kernel/config
  mount -t devtmpfs devtmpfs /host/dev
  program=$(cat /program-on-host)
  chroot /host /usr/bin/env HOME=/tmp XDG_RUNTIME_DIR=/tmp QT_QPA_PLATFORM=offscreen "$program" "$@"
  status=$?
else
  /program "$@"
  status=$?
fi
echo "guest: program exited with $status"
verdict='\000'
[ "$status" -eq 0 ] || verdict='\001'
printf "$verdict" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
poweroff -f

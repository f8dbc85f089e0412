"""The virtual device that serves (scripts/device-vm makes VM_DIR, the
guest's init is tests/vm/init): booted with port 80 forwarded to
127.0.0.1:PORT only, and driven through its console, which runs each line
as a shell command."""
import os
import select
import subprocess
import time


class Device:
    def __init__(self, vm_dir, port):
        self.process = subprocess.Popen(
            ["qemu-system-arm", "-M", "virt", "-m", "256", "-display", "none", "-monitor", "none", "-serial", "stdio",
             "-no-reboot", "-netdev", "user,id=net,hostfwd=tcp:127.0.0.1:%d-:80" % port,
             "-device", "virtio-net-device,netdev=net", "-kernel", vm_dir + "/vmlinuz", "-initrd", vm_dir + "/initrd.gz",
             "-append", "console=ttyAMA0 quiet loglevel=1 panic=-1 flash=1 serve=1"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.pending = b""
        self.answer("serving", timeout=180)

    def answer(self, word, timeout=120):
        """The console's lines before the next one that begins with "@ WORD",
        and the rest of that line; a guest silent for TIMEOUT seconds fails."""
        lines, deadline = [], time.monotonic() + timeout
        while True:
            while b"\n" not in self.pending:
                out = self.process.stdout.fileno()
                left = deadline - time.monotonic()
                chunk = os.read(out, 4096) if left > 0 and select.select([out], [], [], left)[0] else b""
                if not chunk:
                    raise RuntimeError("the virtual device did not answer; its console:\n" + "".join(lines))
                self.pending += chunk
            line, self.pending = self.pending.split(b"\n", 1)
            line = line.decode(errors="replace")
            if line.startswith("@ " + word):
                return "".join(lines), line[len(word) + 2:].strip()
            lines.append(line + "\n")

    def run(self, command):
        """What COMMAND prints in the guest's shell; it must succeed."""
        self.process.stdin.write(command.encode() + b"\n")
        self.process.stdin.flush()
        out, status = self.answer("done")
        if status != "0":
            raise RuntimeError("%r on the virtual device: status %s\n%s" % (command, status, out))
        return out

    def off(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

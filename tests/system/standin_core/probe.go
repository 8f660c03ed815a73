package main

import (
	"context"
	"fmt"
	"io/fs"
	"os"
	"os/exec"
	"path/filepath"
	"sort"
	"strings"
	"syscall"
	"time"
	"unsafe"
)

// EscapeProbe is the file a transient unit would create if the core could ask PID 1 for one.
const EscapeProbe = "/etc/quorin-escape-probe"

// probeLine reports what a core could reach beyond its own files: the top-most
// directories it may write to, whether the service manager's private socket and the
// system bus accept it, whether systemd-run can start a unit outside the sandbox, and
// whether the network's kernel settings, which real cores set, can still be written.
func probeLine(core string) string {
	return fmt.Sprintf("standin-core %s probe: writable=%s systemd_private=%s system_bus=%s systemd_run=%s "+
		"sysctl_net=%s shadow=%s var_lib=%s", core, strings.Join(writableTops(), ","),
		connectUnix("/run/systemd/private"), connectUnix("/run/dbus/system_bus_socket"), systemdRun(),
		openForWriting(SysctlNetProbe), openForReading("/etc/shadow"), openForReading("/var/lib/dpkg/status"))
}

// SysctlNetProbe is a network setting of the box's own namespace; it is opened, never written.
const SysctlNetProbe = "/proc/sys/net/ipv4/ip_forward"

// openForReading says "readable" only when the file gives its content: an inaccessible
// path is an empty node of mode 0, which CAP_DAC_READ_SEARCH opens all the same.
func openForReading(path string) string {
	fd, err := syscall.Open(path, syscall.O_RDONLY|syscall.O_CLOEXEC, 0)
	if err != nil {
		return quote(err.Error())
	}
	defer syscall.Close(fd)
	var buffer [1]byte
	if n, err := syscall.Read(fd, buffer[:]); err != nil || n == 0 {
		return "nothing-to-read"
	}
	return "readable"
}

func openForWriting(path string) string {
	fd, err := syscall.Open(path, syscall.O_WRONLY|syscall.O_CLOEXEC, 0)
	if err != nil {
		return quote(err.Error())
	}
	syscall.Close(fd)
	return "writable"
}

// Directories, not below another writable one, in which a file can be created. access(2)
// picks the candidates (it weighs read-only mounts, modes and capabilities); creating
// and removing a file confirms each, since some file systems refuse new files anyway.
func writableTops() []string {
	var tops []string
	skip := map[string]bool{"/proc": true, "/sys": true}
	_ = filepath.WalkDir("/", func(path string, entry fs.DirEntry, err error) error {
		if err != nil || !entry.IsDir() {
			return nil
		}
		if skip[path] {
			return filepath.SkipDir
		}
		if syscall.Access(path, 2 /* W_OK */) == nil && canCreate(path) {
			tops = append(tops, path)
			return filepath.SkipDir
		}
		return nil
	})
	sort.Strings(tops)
	if tops == nil {
		return []string{"none"}
	}
	return tops
}

func canCreate(dir string) bool {
	path := filepath.Join(dir, fmt.Sprintf(".quorin-probe-%d", os.Getpid()))
	fd, err := syscall.Open(path, syscall.O_WRONLY|syscall.O_CREAT|syscall.O_EXCL|syscall.O_CLOEXEC, 0600)
	if err != nil {
		return false
	}
	syscall.Close(fd)
	syscall.Unlink(path)
	return true
}

func connectUnix(path string) string {
	fd, err := syscall.Socket(syscall.AF_UNIX, syscall.SOCK_STREAM|syscall.SOCK_CLOEXEC, 0)
	if err != nil {
		return quote(err.Error())
	}
	defer syscall.Close(fd)
	if err := syscall.Connect(fd, &syscall.SockaddrUnix{Name: path}); err != nil {
		return quote(err.Error())
	}
	return "connected"
}

func systemdRun() string {
	ctx, cancel := context.WithTimeout(context.Background(), 5*time.Second)
	defer cancel()
	output, err := exec.CommandContext(ctx, "/usr/bin/systemd-run", "--wait", "--quiet", "--collect",
		"/usr/bin/touch", EscapeProbe).CombinedOutput()
	if err != nil {
		return quote(fmt.Sprintf("%v: %s", err, strings.TrimSpace(string(output))))
	}
	return "exit-0"
}

func quote(text string) string { return fmt.Sprintf("%q", text) }

// escapeLine reports what a core could do to the host: create a file in the host's /etc
// through PID 1's root and working directory, open PID 1's memory for writing, write it
// with process_vm_writev (at address 0: a permitted call fails with EFAULT, changing
// nothing), signal it (signal 0 sends nothing), plant a marker. matching: the processes
// whose exe and fd/ it read, of those it saw.
func escapeLine(core string) string {
	var buffer [1]byte
	local, remote := syscall.Iovec{Base: &buffer[0], Len: 1}, syscall.Iovec{Len: 1}
	const sysProcessVMWritev = 311 // x86-64; the syscall package has no name for it
	_, _, vmErr := syscall.Syscall6(sysProcessVMWritev, 1, uintptr(unsafe.Pointer(&local)), 1,
		uintptr(unsafe.Pointer(&remote)), 1, 0)
	dirs, _ := filepath.Glob("/proc/[0-9]*")
	seen, readable := 0, 0
	for _, dir := range dirs {
		_, exeErr := os.Readlink(dir + "/exe")
		_, fdErr := os.ReadDir(dir + "/fd")
		if !os.IsNotExist(exeErr) && !os.IsNotExist(fdErr) { // not ended meanwhile
			seen++
			if exeErr == nil && fdErr == nil {
				readable++
			}
		}
	}
	return fmt.Sprintf("standin-core %s escape: root_etc=%t cwd_etc=%t mem=%t vm_write=%t signal=%t marker=%t "+
		"matching=%d/%d root_shadow=%s", core, canCreate("/proc/1/root/etc"), canCreate("/proc/1/cwd/etc"),
		openForWriting("/proc/1/mem") == "writable", vmErr == syscall.EFAULT, syscall.Kill(1, 0) == nil,
		canCreate("/proc/1/root/var/lib/quorin/authorized-users"), readable, seen,
		openForReading("/proc/1/root/etc/shadow"))
}

// A stand-in for the cores the helper runs, built with the Go toolchain like the real
// ones, so that the Go runtime meets the service's system-call filter and memory
// protections. Installed as xray, sing-box and mihomo, it answers version commands,
// accepts check runs, and on a real run does to the host what a core in TUN mode does:
// opens /dev/net/tun with TUNSETIFF, brings the link up, adds policy rules and routes
// in table 2022 over rtnetlink and an nftables table over nfnetlink. It leaves all of
// that behind when it ends, as a killed core would, so that only the helper's clean-up
// can remove it, and a detached sleep that only the helper's sweep ends. One line reports the sandbox it runs in.
package main

import (
	"encoding/json"
	"fmt"
	"net"
	"os"
	"os/exec"
	"os/signal"
	"path/filepath"
	"strings"
	"syscall"
)

const routeTable = 2022

func main() {
	args := os.Args[1:]
	var err error
	switch filepath.Base(os.Args[0]) {
	case "xray":
		err = xray(args)
	case "sing-box":
		err = singBox(args)
	case "mihomo":
		err = mihomo(args)
	default:
		err = fmt.Errorf("unknown core name %q", os.Args[0])
	}
	if err != nil {
		fmt.Fprintf(os.Stderr, "standin-core: %v\n", err)
		os.Exit(1)
	}
}

func xray(args []string) error {
	if len(args) == 1 && args[0] == "version" {
		fmt.Println("Xray 26.10.21 (Go stand-in)")
		return nil
	}
	return fmt.Errorf("xray: unexpected arguments %q", args)
}

func singBox(args []string) error {
	if len(args) == 1 && args[0] == "version" {
		fmt.Println("sing-box version 1.14.1 (Go stand-in)")
		return nil
	}
	if len(args) < 3 || args[1] != "-c" {
		return fmt.Errorf("sing-box: unexpected arguments %q", args)
	}
	var config struct {
		Inbounds []struct {
			InterfaceName string `json:"interface_name"`
			AutoRoute     bool   `json:"auto_route"`
		} `json:"inbounds"`
	}
	if err := readConfig(args[2], &config); err != nil {
		return err
	}
	if len(config.Inbounds) == 0 || config.Inbounds[0].InterfaceName == "" {
		return fmt.Errorf("sing-box: no TUN inbound in %s", args[2])
	}
	switch args[0] {
	case "check":
		return nil
	case "run":
		inbound := config.Inbounds[0]
		logf := func(level, text string) {
			fmt.Fprintf(os.Stderr, "+0000 2026-12-07 12:00:00 %s %s\n", level, text)
		}
		logf("INFO", "network: updated default interface lo")
		if err := bringUp(inbound.InterfaceName, "sing-box", inbound.AutoRoute); err != nil {
			return err
		}
		logf("INFO", "sing-box started (0.01s)")
		// Not INFO: the helper forwards only other levels once sing-box has started.
		logf("WARN", sandboxLine("sing-box"))
		return waitForSignal()
	}
	return fmt.Errorf("sing-box: unexpected arguments %q", args)
}

func mihomo(args []string) error {
	if len(args) == 1 && args[0] == "-v" {
		fmt.Println("Mihomo Meta v1.19.30 linux amd64 (Go stand-in)")
		return nil
	}
	check := len(args) > 0 && args[0] == "-t"
	if check {
		args = args[1:]
	}
	if len(args) != 4 || args[0] != "-d" || args[2] != "-f" {
		return fmt.Errorf("mihomo: unexpected arguments %q", os.Args[1:])
	}
	var config struct {
		Tun struct {
			Device string `json:"device"`
		} `json:"tun"`
	}
	if err := readConfig(args[3], &config); err != nil {
		return err
	}
	if config.Tun.Device == "" {
		return fmt.Errorf("mihomo: no tun.device in %s", args[3])
	}
	if check {
		fmt.Printf("configuration file %s test is successful\n", args[3])
		return nil
	}
	if err := bringUp(config.Tun.Device, "mihomo", true); err != nil {
		return err
	}
	fmt.Println(sandboxLine("mihomo"))
	fmt.Println(probeLine("mihomo"))
	fmt.Println(escapeLine("mihomo"))
	return waitForSignal()
}

func readConfig(path string, into any) error {
	text, err := os.ReadFile(path)
	if err != nil {
		return err
	}
	if err := json.Unmarshal(text, into); err != nil {
		return fmt.Errorf("%s: %v", path, err)
	}
	return nil
}

// The interface lives as long as the descriptor, that is as long as this process.
func bringUp(name, table string, route bool) error {
	// A detached process, as a core may leave one behind; the helper must end it.
	if leftover := exec.Command("sleep", "600"); leftover.Start() == nil {
		_ = leftover.Process.Release()
	}
	index, err := createTun(name)
	if err != nil {
		return fmt.Errorf("TUN %s: %v", name, err)
	}
	rt, err := dial(syscall.NETLINK_ROUTE)
	if err != nil {
		return err
	}
	defer rt.close()
	if err := rt.do(linkUp(index)); err != nil {
		return fmt.Errorf("link up %s: %v", name, err)
	}
	if !route {
		return nil
	}
	steps := []struct {
		what string
		msg  []byte
	}{
		{"default route", defaultRoute(index)},
		{"unreachable route", unreachableRoute()},
		{"rule 9000", rule(syscall.AF_INET, 9000)},
		{"rule 9001", rule(syscall.AF_INET6, 9001)},
	}
	for _, step := range steps {
		if err := rt.do(step.msg); err != nil {
			return fmt.Errorf("%s: %v", step.what, err)
		}
	}
	nf, err := dial(syscall.NETLINK_NETFILTER)
	if err != nil {
		return err
	}
	defer nf.close()
	if err := nf.doBatch(newTable(table)); err != nil {
		return fmt.Errorf("nftables table inet %s: %v", table, err)
	}
	return nil
}

func createTun(name string) (int, error) {
	fd, err := syscall.Open("/dev/net/tun", syscall.O_RDWR|syscall.O_CLOEXEC, 0)
	if err != nil {
		return 0, err
	}
	var request [40]byte // struct ifreq
	copy(request[:15], name)
	const iffTun, iffNoPi = 0x0001, 0x1000
	native.PutUint16(request[16:], iffTun|iffNoPi)
	const tunSetIff = 0x400454ca
	if _, _, errno := syscall.Syscall(syscall.SYS_IOCTL, uintptr(fd), tunSetIff, ptr(&request)); errno != 0 {
		return 0, errno
	}
	link, err := net.InterfaceByName(name)
	if err != nil {
		return 0, err
	}
	return link.Index, nil
}

// Ids, seccomp mode, no-new-privileges and the capability sets, as the kernel reports
// them for this process.
func sandboxLine(core string) string {
	status, err := os.ReadFile("/proc/self/status")
	if err != nil {
		return "standin-core " + core + " sandbox: " + err.Error()
	}
	fields := map[string]string{}
	for _, line := range strings.Split(string(status), "\n") {
		if key, value, found := strings.Cut(line, ":"); found {
			fields[key] = strings.TrimSpace(value)
		}
	}
	return fmt.Sprintf("standin-core %s sandbox: uid=%s gid=%s groups=%s seccomp=%s no_new_privs=%s cap_eff=%s "+
		"cap_prm=%s cap_amb=%s cap_bnd=%s", core, strings.Fields(fields["Uid"])[0], strings.Fields(fields["Gid"])[0],
		fields["Groups"], fields["Seccomp"], fields["NoNewPrivs"], fields["CapEff"], fields["CapPrm"],
		fields["CapAmb"], fields["CapBnd"])
}

func waitForSignal() error {
	signals := make(chan os.Signal, 1)
	signal.Notify(signals, syscall.SIGTERM, syscall.SIGINT)
	<-signals
	return nil
}

package main

import (
	"encoding/binary"
	"fmt"
	"syscall"
	"unsafe"
)

var native = binary.LittleEndian

func ptr(request *[40]byte) uintptr { return uintptr(unsafe.Pointer(request)) }

type netlink struct {
	fd  int
	seq uint32
}

func dial(protocol int) (*netlink, error) {
	fd, err := syscall.Socket(syscall.AF_NETLINK, syscall.SOCK_RAW|syscall.SOCK_CLOEXEC, protocol)
	if err != nil {
		return nil, fmt.Errorf("netlink socket %d: %v", protocol, err)
	}
	if err := syscall.Bind(fd, &syscall.SockaddrNetlink{Family: syscall.AF_NETLINK}); err != nil {
		syscall.Close(fd)
		return nil, err
	}
	return &netlink{fd: fd}, nil
}

func (n *netlink) close() { syscall.Close(n.fd) }

// message appends one netlink message: header, fixed part, then attributes.
func (n *netlink) message(kind uint16, flags uint16, body []byte) []byte {
	n.seq++
	msg := make([]byte, 16, 16+len(body))
	native.PutUint32(msg[0:], uint32(16+len(body)))
	native.PutUint16(msg[4:], kind)
	native.PutUint16(msg[6:], flags|syscall.NLM_F_REQUEST|syscall.NLM_F_ACK)
	native.PutUint32(msg[8:], n.seq)
	return append(msg, body...)
}

func attr(kind uint16, value []byte) []byte {
	length := 4 + len(value)
	out := make([]byte, 4, (length+3)&^3)
	native.PutUint16(out[0:], uint16(length))
	native.PutUint16(out[2:], kind)
	out = append(out, value...)
	for len(out)%4 != 0 {
		out = append(out, 0)
	}
	return out
}

func u32(value uint32) []byte { b := make([]byte, 4); native.PutUint32(b, value); return b }

// do sends one request and waits for its acknowledgement.
func (n *netlink) do(request []byte) error {
	return n.send(n.message(native.Uint16(request[0:]), native.Uint16(request[2:]), request[4:]), 1)
}

// doBatch sends one nftables message inside a batch; only the message itself is acknowledged.
func (n *netlink) doBatch(request []byte) error {
	const batchBegin, batchEnd, nftablesSubsystem = 0x10, 0x11, 10
	genmsg := []byte{syscall.AF_UNSPEC, 0, 0, nftablesSubsystem}
	begin := n.message(batchBegin, 0, genmsg)
	native.PutUint16(begin[6:], syscall.NLM_F_REQUEST)
	body := n.message(native.Uint16(request[0:]), native.Uint16(request[2:]), request[4:])
	end := n.message(batchEnd, 0, genmsg)
	native.PutUint16(end[6:], syscall.NLM_F_REQUEST)
	return n.send(append(append(begin, body...), end...), 1)
}

func (n *netlink) send(data []byte, acks int) error {
	if err := syscall.Sendto(n.fd, data, 0, &syscall.SockaddrNetlink{Family: syscall.AF_NETLINK}); err != nil {
		return err
	}
	buffer := make([]byte, 65536)
	for acks > 0 {
		count, _, err := syscall.Recvfrom(n.fd, buffer, 0)
		if err != nil {
			return err
		}
		messages, err := syscall.ParseNetlinkMessage(buffer[:count])
		if err != nil {
			return err
		}
		for _, m := range messages {
			if m.Header.Type != syscall.NLMSG_ERROR {
				continue
			}
			acks--
			if code := int32(native.Uint32(m.Data[0:4])); code != 0 {
				return syscall.Errno(-code)
			}
		}
	}
	return nil
}

// A request as do takes it: type, flags, then the body.
func request(kind, flags uint16, parts ...[]byte) []byte {
	out := make([]byte, 4)
	native.PutUint16(out[0:], kind)
	native.PutUint16(out[2:], flags)
	for _, part := range parts {
		out = append(out, part...)
	}
	return out
}

func linkUp(index int) []byte {
	info := make([]byte, 16) // struct ifinfomsg
	native.PutUint32(info[4:], uint32(index))
	native.PutUint32(info[8:], syscall.IFF_UP)
	native.PutUint32(info[12:], syscall.IFF_UP)
	return request(syscall.RTM_NEWLINK, 0, info)
}

func routeMessage(family, dstLen, scope, kind byte, attrs ...[]byte) []byte {
	const protoStatic = 4
	head := []byte{family, dstLen, 0, 0, syscall.RT_TABLE_UNSPEC, protoStatic, scope, kind, 0, 0, 0, 0}
	parts := append([][]byte{head, attr(syscall.RTA_TABLE, u32(routeTable))}, attrs...)
	return request(syscall.RTM_NEWROUTE, syscall.NLM_F_CREATE|syscall.NLM_F_EXCL, parts...)
}

func defaultRoute(index int) []byte {
	return routeMessage(syscall.AF_INET, 0, syscall.RT_SCOPE_LINK, syscall.RTN_UNICAST,
		attr(syscall.RTA_OIF, u32(uint32(index))))
}

// Independent of the interface, so it outlives the core unless the table is flushed.
func unreachableRoute() []byte {
	return routeMessage(syscall.AF_INET, 24, syscall.RT_SCOPE_UNIVERSE, syscall.RTN_UNREACHABLE,
		attr(syscall.RTA_DST, []byte{192, 0, 2, 0}))
}

func rule(family byte, priority uint32) []byte {
	const frActToTbl, fraPriority, fraTable = 1, 6, 15
	head := []byte{family, 0, 0, 0, syscall.RT_TABLE_UNSPEC, 0, 0, frActToTbl, 0, 0, 0, 0}
	return request(syscall.RTM_NEWRULE, syscall.NLM_F_CREATE|syscall.NLM_F_EXCL,
		head, attr(fraPriority, u32(priority)), attr(fraTable, u32(routeTable)))
}

func newTable(name string) []byte {
	const newTableMsg, nftablesSubsystem, nfprotoInet, nftaTableName = 0, 10, 1, 1
	genmsg := []byte{nfprotoInet, 0, 0, 0}
	return request(nftablesSubsystem<<8|newTableMsg, syscall.NLM_F_CREATE,
		genmsg, attr(nftaTableName, append([]byte(name), 0)))
}

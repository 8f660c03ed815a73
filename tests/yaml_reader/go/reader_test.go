// Mihomo reads the configuration file that the helper writes as YAML. Each document of
// the corpus below goes through the helper's writer, and gopkg.in/yaml.v3 must read the
// file as exactly the value the helper parsed and its policy checked.
package yamlreader

import (
	"bytes"
	"encoding/json"
	"fmt"
	"os"
	"os/exec"
	"reflect"
	"strconv"
	"strings"
	"testing"

	"gopkg.in/yaml.v3"
)

var yamlUnsafe = "\u007f\u0080\u0085\u009f\u2028\u2029\ufffe\uffff"

func corpus() []string {
	escapes := `"\" \\ \/ \b \f \n \r \t \u0000 \u001f \u007f \u0080 \u0085 \u009f \u00a0 \u2028 \u2029 \ufeff \ufffe \uffff \ud83d\ude00"`
	return []string{
		`{"escaped":` + escapes + `,` + escapes + `:1}`,
		`{"raw":"` + yamlUnsafe + "\ufeffж😀\",\"" + yamlUnsafe + `":"` + yamlUnsafe + `"}`,
		`{"external-controller":"127.0.0.1:9090` + "\u0085" + `","secret":"` + "\u0085" + `"}`,
		`{"a":1,"b":[1,2],"a":{"c":null},"b":true,"":{"":""}}`,
		`[0,-0,-0.0,1,-1,9223372036854775807,-9223372036854775808,9223372036854775808,18446744073709551615,
		  18446744073709551616,-9223372036854775809,123456789012345678901234567890,1.5,2.50,1e2,1E+2,-1e-7,
		  0.1e-400,1.7976931348623157e308,5e-324]`,
		`[true,false,null,"true","null","~","yes","0x10","1_000",".inf",".nan","","  ","#","&a","*a","!t","- x",
		  "? x",": x","%YAML","---","...","a: b","{","[","'",">","|"," lead","trail ","\ttab"]`,
		`{"a":{},"b":[],"c":[[]],"d":[{}]}`,
		strings.Repeat("[", 127) + strings.Repeat("]", 127),
		strings.Repeat(`{"k":`, 126) + `"deep"` + strings.Repeat("}", 126),
		`{"` + strings.Repeat("k", 1022) + `":"` + strings.Repeat("v", 100000) + `"}`,
		`[{"` + strings.Repeat(`\u0085`, 169) + "жж" + `\n":1}]`,
	}
}

func written(input string) (string, error) {
	command := exec.Command(os.Getenv("QUORIN_WRITE_DOCUMENT"))
	command.Stdin = strings.NewReader(input)
	var refusal bytes.Buffer
	command.Stderr = &refusal
	out, err := command.Output()
	if err != nil {
		return "", fmt.Errorf("%v: %s", err, strings.TrimSpace(refusal.String()))
	}
	return string(out), nil
}

// The checked value as the YAML reader gives it: integers of up to 64 bits exactly, every
// other number as the nearest double (by design, see SECURITY.md).
func asYAMLReadsIt(value any) any {
	switch v := value.(type) {
	case json.Number:
		if i, err := strconv.ParseInt(string(v), 10, 64); err == nil {
			return int(i)
		} else if u, err := strconv.ParseUint(string(v), 10, 64); err == nil {
			return u
		} else if f, err := strconv.ParseFloat(string(v), 64); err == nil {
			return f
		}
	case []any:
		for i := range v {
			v[i] = asYAMLReadsIt(v[i])
		}
	case map[string]any:
		for key := range v {
			v[key] = asYAMLReadsIt(v[key])
		}
	}
	return value
}

func TestTheWrittenFileReadsAsTheCheckedValue(t *testing.T) {
	for _, input := range corpus() {
		text, err := written(input)
		if err != nil {
			t.Errorf("%.80q: %v", input, err)
			continue
		}
		var checked, read any
		decoder := json.NewDecoder(strings.NewReader(input))
		decoder.UseNumber()
		if err := decoder.Decode(&checked); err != nil {
			t.Fatalf("%.80q: %v", input, err)
		}
		if err := yaml.Unmarshal([]byte(text), &read); err != nil {
			t.Errorf("%.80q: YAML cannot read %.200q: %v", input, text, err)
		} else if !reflect.DeepEqual(asYAMLReadsIt(checked), read) {
			t.Errorf("%.80q: YAML reads %.200v", input, read)
		}
		if strings.ContainsAny(text, yamlUnsafe) {
			t.Errorf("%.80q: raw characters YAML would not read back in %.200q", input, text)
		}
	}
}

// A key whose quoted form is longer than 1024 characters is not a key to the reader, and
// the writer refuses one. Characters count, not bytes.
func TestTheWriterRefusesKeysTheReaderCannotRead(t *testing.T) {
	for key, readable := range map[string]bool{strings.Repeat("ж", 1022): true, strings.Repeat("ж", 1023): false} {
		var read any
		if err := yaml.Unmarshal([]byte(`{"`+key+`": 1}`), &read); (err == nil) != readable {
			t.Errorf("a key of %d characters: %v", len([]rune(key))+2, err)
		}
	}
	for _, key := range []string{strings.Repeat("k", 1023), strings.Repeat(`\u0085`, 170) + "abc"} {
		if _, err := written(`[{"` + key + `":1}]`); err == nil || !strings.HasSuffix(err.Error(), "ключ JSON в записанном виде длиннее 1024 символов") {
			t.Errorf("%.40q: %v", key, err)
		}
	}
}

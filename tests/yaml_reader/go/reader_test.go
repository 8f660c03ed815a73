// Mihomo reads the configuration file that the helper writes as YAML. Each document of
// the corpus below goes through the helper's writer, and gopkg.in/yaml.v3 must read the
// file as exactly the value the helper parsed and its policy checked.
package yamlreader

import (
	"bytes"
	"encoding/json"
	"fmt"
	"math"
	"math/big"
	"os"
	"os/exec"
	"reflect"
	"strconv"
	"strings"
	"testing"

	"gopkg.in/yaml.v3"
)

const longKeyRefusal = "ключ JSON в записанном виде длиннее 1024 символов"

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

// YAML reads integers of up to 64 bits exactly and every other number as the nearest
// double (by design, see SECURITY.md); encoding/json keeps the token.
func sameNumber(token json.Number, read any) bool {
	exact, integer := new(big.Int).SetString(string(token), 10)
	switch v := read.(type) {
	case int:
		return integer && exact.Cmp(big.NewInt(int64(v))) == 0
	case uint64:
		return integer && exact.Cmp(new(big.Int).SetUint64(v)) == 0
	case float64:
		nearest, err := strconv.ParseFloat(string(token), 64)
		fits := integer && (exact.IsInt64() || exact.IsUint64())
		return !fits && err == nil && nearest == v && math.Signbit(nearest) == math.Signbit(v)
	}
	return false
}

func same(checked, read any) bool {
	switch c := checked.(type) {
	case json.Number:
		return sameNumber(c, read)
	case []any:
		r, ok := read.([]any)
		if !ok || len(r) != len(c) {
			return false
		}
		for i := range c {
			if !same(c[i], r[i]) {
				return false
			}
		}
		return true
	case map[string]any:
		r, ok := read.(map[string]any)
		if !ok || len(r) != len(c) {
			return false
		}
		for key, value := range c {
			if readValue, present := r[key]; !present || !same(value, readValue) {
				return false
			}
		}
		return true
	}
	return reflect.DeepEqual(checked, read)
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
		} else if !same(checked, read) {
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
		if _, err := written(`[{"` + key + `":1}]`); err == nil || !strings.HasSuffix(err.Error(), longKeyRefusal) {
			t.Errorf("%.40q: %v", key, err)
		}
	}
}

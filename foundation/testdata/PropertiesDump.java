// Loads properties files with java.util.Properties and prints what Java reads from them.
//
// Usage: java PropertiesDump.java <file>...
// For each file: a line "FILE <path>", then one line per key in key order holding the UTF-8
// bytes of the key and of the value in hexadecimal, separated by one space. A file that
// cannot be loaded gives the line "ERROR <path> <message>".
import java.io.FileInputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.Map;
import java.util.Properties;
import java.util.TreeMap;

public class PropertiesDump {
  private static String hex(String text) {
    StringBuilder out = new StringBuilder();
    for (byte b : text.getBytes(StandardCharsets.UTF_8)) out.append(String.format("%02x", b));
    return out.toString();
  }

  public static void main(String[] args) {
    StringBuilder out = new StringBuilder();
    for (String path : args) {
      Properties properties = new Properties();
      try (InputStream in = new FileInputStream(path)) {
        properties.load(in);  // ISO-8859-1
      } catch (Exception e) {
        out.append("ERROR ").append(path).append(' ').append(e).append('\n');
        continue;
      }
      out.append("FILE ").append(path).append('\n');
      TreeMap<String, String> sorted = new TreeMap<>();
      for (String key : properties.stringPropertyNames()) sorted.put(key, properties.getProperty(key));
      for (Map.Entry<String, String> entry : sorted.entrySet()) {
        out.append(hex(entry.getKey())).append(' ').append(hex(entry.getValue())).append('\n');
      }
    }
    System.out.print(out);
  }
}
